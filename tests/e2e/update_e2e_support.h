// Helpers of the update end-to-end cases: a small deterministic game folder,
// publishing it with kestrava-patcher, updating a folder with it, comparing.
// Thread-safety: plain functions for the test's thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace e2e {

std::string BinDir();
std::string Patcher();

// Runs a shell command; its exit code (-1 when it did not run normally).
int Run(const std::string& command);

void WriteFile(const std::string& path, const std::string& data);
std::string ReadFile(const std::string& path);
// n bytes that do not compress, from a seed.
std::string RandomBytes(uint32_t seed, size_t n);
// n bytes that compress well.
std::string TextBytes(uint32_t seed, size_t n);

// relative path -> content of a game build.
using Game = std::map<std::string, std::string>;
// A game of a few dozen files of several kinds and folders, a scope file
// naming one of them and the files publishing needs.
Game SampleGame(uint32_t seed);
void WriteGame(const std::string& folder, const Game& game);

// kestrava-patcher publish GAME RELEASE --version v [extra]; exit code.
int Publish(const std::string& game, const std::string& release, const std::string& version,
            const std::string& extra = "");
// The release `name` under serverRoot published from `game` (with the given
// launcher files), made once and reused by every case and process that asks
// for the same name while the patcher binary stays the same. Returns false
// when publishing failed.
bool SharedRelease(const std::string& serverRoot, const std::string& name, const Game& game,
                   const std::string& workDir);

// kestrava-patcher update DIR --url URL [--mode m]; exit code. Output goes to
// DIR/../<name>.out.
int Update(const std::string& dir, const std::string& url, const std::string& mode = "normal");

// Relative paths of installed files whose content differs from the game's
// (missing ones included).
std::vector<std::string> Differences(const Game& game, const std::string& installDir);

// Marks today's periodic full check as done, so a pass runs alone.
void SkipFourDayCheck(const std::string& installDir);

}  // namespace e2e
