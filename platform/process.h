// Starting other programs: the update tool that replaces the launcher, and
// the game. One helper over posix_spawn, so that every start closes our
// descriptors (the installation lock, the X connection) in the child and
// reports failure the same way.
//
// Thread-safety: no shared state; safe on any thread.
#pragma once

#include <string>
#include <vector>

namespace platform {

struct ProcessStart {
  std::string program;            // path of the executable
  std::vector<std::string> args;  // arguments after argv[0] (which is `program`)
  std::string folder;             // working folder; empty keeps ours
  // "NAME=value" entries; null passes our own environment on.
  const std::vector<std::string>* environment = nullptr;
  // Its own session, so that it outlives us and our terminal.
  bool detach = true;
  // Standard input and output go to /dev/null instead of ours.
  bool silent = false;
};

// Starts the program without waiting for it. 0 when it started, else the
// errno value of the failure (ENOENT for a missing program, and so on).
int StartProcess(const ProcessStart& start, int* pid = nullptr);

// The program a name stands for, as a shell would find it: a name with a
// "/" as it is, any other in the folders of PATH. Empty when that is not an
// executable file.
std::string FindProgram(const std::string& name);

// Whether a process other than this one runs `program` (a path, resolved
// through links): as its executable, or as the script an interpreter runs
// (the program named by its first or second argument, a relative one taken
// from that process's working folder). Processes we may not inspect count
// as not running it.
bool IsProgramRunning(const std::string& program);

// Milliseconds since the kernel started this process (before the dynamic
// loader ran), to within the kernel's 10 ms clock ticks; start-up
// benchmarks report it. -1 when it cannot be read.
double MillisecondsSinceProcessStart();

// The kernel's id of the calling thread, as log lines name threads.
int CurrentThreadId();

}  // namespace platform
