// Keeps the passwords that the process holds in memory out of files other programs can read.
//
// Call once, first thing in main, from the main thread. Never fails visibly: a setting the
// system refuses is traced and the program goes on.
#pragma once

// Turns core dumps off (a zero core size and a process that is not dumpable), so a crash does not
// write every password into a core file; as a consequence other processes of the same user can
// no longer attach a debugger to this one.
void ProtectProcessMemory();
