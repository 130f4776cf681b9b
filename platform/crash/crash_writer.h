// The crash writer: the program that writes one crash's folder. It runs as
// a fresh start of the crashed executable (a child that the signal handler
// forks and replaces by the same program), so it has its own clean heap and
// may use any library, while the crashed process waits, stopped.
//
// Below the executable's folder it writes MiniDump/<exe>_MM.DD_hh.mm.ss/
// with Minidump.dmp, copies of the executable and its debug file, and
// crash.log, in that order; each step goes on when an earlier one failed.
// Nothing is shown and nothing goes to the day log.
//
// The writer starts from a constructor, before main and possibly before
// the dynamic initialisers of other source files: code on its path must not
// rely on globals that need one (function-local statics are fine).
//
// Thread-safety: runs alone in the writer process.
#pragma once

// Reads the CrashRecord from the pipe `recordFd` (the handler's end of it
// closes once the record is written) and writes the crash folder. False
// when no valid record arrived.
bool CrashFilter(int recordFd);
