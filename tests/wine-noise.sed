# What the emulated 32-bit Wine adds to a program's output that the program did not write:
# it has no FreeType and says so on every program's standard error; its emulator reports a
# program that dies by a signal (a program a script ends, or one that crashes on its way out);
# and a thread of Wine's own that finds its server connection gone on its way out says so (the
# 64-bit server of the emulated clients now and then restarts). A host's own end is its exit
# status, which is checked apart.
/^Wine cannot find the FreeType font library/,/^http:\/\/www\.freetype\.org$/d
/^qemu: uncaught target signal/d
/^wine client error:[0-9a-f]*: write: Bad file descriptor$/d
