// File operations of the update steps that the general helpers lack: moving
// a fetched file into the installation atomically, and the execute bit.
//
// Thread-safety: no shared state; safe on any thread.
#pragma once

#include <string>

// Deletes a plain file (never a folder); true when it is gone afterwards.
bool RemoveFileIfPresent(const std::string& path);

// Puts the content of source at target so that a reader of target only ever
// sees the old or the new file: a rename when both lie on one file system,
// else a copy to a temporary name beside target and a rename (source then
// stays). False leaves target as it was.
bool MoveIntoPlace(const std::string& source, const std::string& target);

// Adds the execute bits to a file's mode.
bool MakeExecutable(const std::string& path);
