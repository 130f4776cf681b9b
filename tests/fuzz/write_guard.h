// Keeps a fuzz input from touching the file system outside the folder it may
// write to. The targets are linked with -Wl,--wrap for every C library call
// by which our code creates, changes or removes a file (open for writing,
// fopen, mkdir, rename, link, symlink, unlink, remove, rmdir, chmod,
// truncate); while a WriteGuard is alive each such call is checked first,
// and one whose path resolves (through "..", links and the working folder)
// to a place outside the allowed folder aborts the process before the call
// is made: libFuzzer reports the input, and the machine is left unharmed.
// /dev/null (the silenced day log) and libFuzzer's own reports are always
// allowed.
//
// Calls made inside shared libraries (std::filesystem, libarchive's own
// I/O) are not seen: our code does its writing through the calls above.
//
// Thread-safety: one guard at a time; the checks run on whichever thread
// makes the call.
#pragma once

#include <string>
#include <vector>

class WriteGuard {
 public:
  // folder must exist; writes below it are allowed.
  explicit WriteGuard(const std::string& folder);
  ~WriteGuard();
  WriteGuard(const WriteGuard&) = delete;
  WriteGuard& operator=(const WriteGuard&) = delete;
};

// For the guard's own check: whether a write to path would be allowed now,
// and how many wrapped calls have been checked so far (stays 0 when the
// program was linked without the --wrap options).
bool WriteAllowed(const std::string& path);
unsigned long WriteGuardChecks();

// The files opened with O_EXCL while a guard was alive, in order, taken and
// forgotten; kept from the first call on. Our code makes every temporary
// file that way, so each must be gone (renamed into place or removed) once
// the call that made it returns.
std::vector<std::string> TakeExclusivelyCreated();

// For LLVMFuzzerInitialize of a target that uses the guard. libFuzzer
// writes its crash, leak and timeout files while a guard may be alive (the
// input is still running): those files, in the folder of -artifact_prefix
// (the working folder by default) or at -exact_artifact_path, are allowed.
// Then aborts unless the guard works in this program: a write below a probe
// folder is allowed and seen by the wrapped calls, one beside it is not.
void SetUpWriteGuard(int argc, char** argv, const std::string& probeFolder);
