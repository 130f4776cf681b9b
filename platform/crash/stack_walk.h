// The call-stack walk of a crash report, with libdw (elfutils): the
// faulting thread's stack is unwound from its registers at the fault, each
// frame's address is looked up in the process's modules (symbol, source
// line from the debug file, module name) and handed to the report.
//
// The unwinder reads the stopped process's memory through /proc/PID/mem;
// it never runs code in it. Debug files are found the way gdb finds them:
// beside the executable through its debug link, or by build id under
// /usr/lib/debug. No network lookup is made (debuginfod is switched off
// by the crash writer).
//
// Thread-safety: run by the single-threaded crash writer.
#pragma once

#include <string>

#include "diag/crash_report.h"
#include "platform/crash/crash_record.h"
#include "platform/crash/traced_process.h"

// Walks the faulting thread's stack from the registers of the record,
// innermost frame first, and reports every frame and every failed lookup
// to the walker.
void CallStackReport(CMyStackWalker& walker, const TracedProcess& process,
                     const CrashRecord& record);

// The file name the executable's debug link records (for example
// "kestrava-launcher.debug"); "" when it has none or cannot be read.
std::string DebugLinkName(const std::string& executablePath);
