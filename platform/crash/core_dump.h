// The crash folder's Minidump.dmp: a full memory dump of the crashed
// process. The name is the one support has always collected; the content is
// an ELF core file, which gdb opens together with the executable
// ("gdb Launcher.exe Minidump.dmp").
//
// What it holds: notes, and PT_LOAD program headers for every readable
// mapping. NT_PRSTATUS (and NT_FPREGSET) for every thread, the faulting
// thread first with its registers as they were at the fault; NT_PRPSINFO,
// NT_SIGINFO, NT_AUXV and NT_FILE. The pages that were in memory or in swap
// are dumped, so the file is about as large as the process's resident
// memory. A run of pages that were not has a program header without file
// content: a debugger reads anonymous memory there as zero and a file
// mapping from the file itself, as with a core the kernel writes. Pages of
// zeros are holes of a sparse file. Mappings marked don't-dump and device
// memory are left out the same way.
//
// libelf writes the ELF header, the program header table and the note
// headers; the memory contents are copied from /proc/PID/mem into the
// places the program headers name.
//
// Thread-safety: run by the single-threaded crash writer.
#pragma once

#include <string>

#include "platform/crash/crash_record.h"
#include "platform/crash/traced_process.h"

// Writes the dump, replacing an existing file. The process's threads must be
// stopped. False when the file could not be written.
bool WriteCoreDump(const TracedProcess& process, const CrashRecord& record,
                   const std::string& path);
