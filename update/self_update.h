// Starting the update tool that replaces the launcher. The self-update step
// itself is CVXDlownloader::RunSelfUpdate, defined in self_update.cpp.
//
// Thread-safety: no shared state.
#pragma once

#include <string>

// Starts program (its execute bit set first) with no arguments, in folder,
// without waiting for it. Returns 0 when it started, else the errno value.
int StartDetachedProgram(const std::string& program, const std::string& folder);
