# What the emulated 32-bit Wine adds to a program's output that the program did not write:
# it has no FreeType and says so on every program's standard error, and its emulator reports
# a program that dies by a signal (a program a script ends, or one that crashes on its way
# out); a host's own end is its exit status, which is checked apart.
/^Wine cannot find the FreeType font library/,/^http:\/\/www\.freetype\.org$/d
/^qemu: uncaught target signal/d
