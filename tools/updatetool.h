// The update tool (installed as Launcher.dat): replaces Launcher.exe with
// the fetched Launcher.exe.7z once the old launcher has ended, then starts
// the new one. The launcher cannot do this itself while it runs.
//
// Thread-safety: single-threaded program logic.
#pragma once

#include <string>
#include <vector>

// Waits up to timeoutMs until no other process runs `program`
// (platform::IsProgramRunning); true when none did in time.
bool WaitUntilNotRunning(const std::string& program, int timeoutMs);

// The replacement in folder (ending with "/"): unpacks Launcher.exe.7z to a
// temporary name, checks it against LauncherConfig/update/LaunUpdate.xml when
// that list names Launcher.exe, gives it the execute bit and renames it over
// Launcher.exe. The list is read as the launcher reads it (at most
// kSmallFileLimit bytes, one parser); a list that cannot be read, or that
// names Launcher.exe without an MD5 Code, stops the replacement. False
// leaves the old Launcher.exe as it was.
//
// With trusted keys (raw Ed25519 public keys), the tool first verifies the
// release.sig the launcher fetched (LauncherConfig/update/release.sig), the
// list and the archive against it, before it unpacks anything; the list
// must then name Launcher.exe.
bool ReplaceLauncher(const std::string& folder, const std::vector<std::string>& trustedKeys);

// The whole tool: wait, replace, start the new launcher. When the
// replacement fails it starts the old launcher instead, with the marker of
// MarkLauncherNotReplaced. Returns the exit code: 0 when the new launcher
// was started.
int RunUpdateTool(const std::string& folder, int waitMs,
                  const std::vector<std::string>& trustedKeys);
