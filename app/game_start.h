// How the game is started on Linux, the way Linux game launchers start a
// Windows program. HTTP carries no file modes, so the chosen executable
// first gets its execute bits; a Windows image (a file starting with "MZ")
// then runs through a compatibility runner (web.xml GameRunner, else wine
// from PATH), which gets the game's path and the command line as one
// argument; a native program (ELF, a "#!" script) starts itself.
//
// Thread-safety: no state; safe on any thread.
#pragma once

#include <string>
#include <vector>

// What is started for the game, and with what.
struct GameCommand {
  std::string program;            // the file run
  std::vector<std::string> args;  // its arguments after argv[0]
};

// The runner used when web.xml names none.
constexpr const char kDefaultGameRunner[] = "wine";

// The command that starts `executable` with the one argument `commandLine`.
// `runner`: web.xml GameRunner, or empty. False, with a reason for the
// player and the log, when there is nothing to start (no such file, no
// runner for a Windows program).
bool PrepareGameCommand(const std::string& executable, const std::string& commandLine,
                        const std::string& runner, GameCommand* out, std::string* reason);
