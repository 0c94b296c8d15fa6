# What the emulated 32-bit Wine adds to a program's output that the program did not write:
# it has no FreeType and says so on every program's standard error; its emulator reports a
# program that dies by a signal (a program a script ends, or one that crashes on its way out);
# a thread of Wine's own that finds its server connection gone on its way out says so (the
# 64-bit server of the emulated clients now and then restarts), sometimes as the bare failed
# read or write or a partial one, and the C library says so when such a thread cannot end cleanly; a process of
# Wine's own that faults says so before the debugger it would start (which is disabled; the
# console host of the hidden console Exec gives tarvow has no font and divides by zero in
# almost every run, at 0040BEDF of its own image, where programs load: an address that reads
# as one of tarvow.exe's), the C
# library when it finds a smashed stack, and the loader when a library load goes wrong. These
# notes come from other threads and processes than the one writing, so one may land in the
# middle of a line of the program's own: it is taken out and the line joined again. A host's
# own end is its exit status, checked apart.
/^Wine cannot find the FreeType font library/,/^http:\/\/www\.freetype\.org$/d
/^libgcc_s\.so\.1 must be installed for pthread_exit to work$/d
/^wine: .*, starting debugger\.\.\.$/d
/^\*\*\* stack smashing detected \*\*\*: terminated$/d
/^Inconsistency detected by ld\.so: /d
/^partial write [0-9]*$/d
/^partial wakeup read [0-9]*$/d
/wine client error:[0-9a-f]*: /{
  s///g
  /^$/d
}
/^\(read\|write\): \(Bad address\|Bad file descriptor\|No data available\|Broken pipe\|Connection reset by peer\)$/d
/qemu: uncaught target signal [0-9]* ([^)]*) - core dumped$/{
  s///
  /^$/d
  N
  s/\n//
}
