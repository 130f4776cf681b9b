// Crash reporting for the launcher: when a fatal signal (SIGSEGV, SIGBUS,
// SIGFPE, SIGILL, SIGABRT) reaches any thread, or std::terminate runs (an
// uncaught exception, which takes the place of the runtime's
// invalid-parameter hook), a crash folder is written below the
// executable's folder (see platform/crash/crash_writer.h and
// docs/crash_reports.md) and the process ends at once with exit code 0.
//
// The handler itself only does what is safe inside a signal handler: it
// copies the signal, the faulting thread and its registers into static
// memory, forks, lets the child trace the process (PR_SET_PTRACER), and
// waits. The child runs the same executable afresh as the crash writer
// (it recognises that role before main starts), so all real work happens
// in a clean process with libdw and libelf, which are linked into the
// program; nothing else needs to be installed.
//
// Thread-safety: install once, on the main thread, before other threads
// start. After that a crash on any thread is reported; when two threads
// crash together, the first reports and the second waits for the end.
#pragma once

// Installs the signal handlers (on an alternate stack, so that a stack
// overflow of the main thread is reported too) and the terminate handler.
// False when a signal handler could not be installed.
bool InstallCrashHandler();
