// The update tool (installed as Launcher.dat): replaces Launcher.exe with
// the fetched Launcher.exe.7z once the old launcher has ended, then starts
// the new one. The launcher cannot do this itself while it runs.
//
// Thread-safety: single-threaded program logic.
#pragma once

#include <string>
#include <vector>

// Whether a process other than this one runs `program` (its executable, or
// the script an interpreter runs as its first argument).
bool IsProgramRunning(const std::string& program);

// Waits up to timeoutMs for IsProgramRunning(program) to turn false; true
// when it did.
bool WaitUntilNotRunning(const std::string& program, int timeoutMs);

// The replacement in folder (ending with "/"): unpacks Launcher.exe.7z to a
// temporary name, checks it against LauncherConfig/update/LaunUpdate.xml when
// that list names Launcher.exe, gives it the execute bit and renames it over
// Launcher.exe. False leaves the old Launcher.exe as it was.
//
// With trusted keys (raw Ed25519 public keys), the tool first verifies the
// release.sig the launcher fetched (LauncherConfig/update/release.sig), the
// list and the archive against it, before it unpacks anything; the list
// must then name Launcher.exe.
bool ReplaceLauncher(const std::string& folder, const std::vector<std::string>& trustedKeys);

// The whole tool: wait, replace, start the new launcher. Returns the exit code.
int RunUpdateTool(const std::string& folder, int waitMs,
                  const std::vector<std::string>& trustedKeys);
