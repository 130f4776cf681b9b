// Reading the published file list for the difference step. The step itself
// (GetDifferentFiles and its three rules, GetScopeList, GetDownloadSize,
// DeleteOldFile) is a member of CVXDlownloader, defined in difference.cpp.
//
// Thread-safety: pure functions over their arguments.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "update/types.h"

// Published list: path -> entry, the first entry of a path kept. Entries
// whose path would leave the installation folder are refused with an
// "Error" log line. False when the file does not load.
bool LoadPublishedList(const std::string& file, std::map<std::string, FileEntry>* published);

// Local list: path -> code (first entry kept) and the paths in document
// order with duplicates. Unsafe paths are left out of both. False when the
// file does not load.
bool LoadLocalCodes(const std::string& file, std::map<std::string, std::string>* codes,
                    std::vector<std::string>* paths);

// Whether a new file with this path is fetched in a normal pass: its
// extension (the text after the last ".", the whole path without one) is
// one of the game's program and script types, compared case-sensitively.
bool IsFetchedExtension(const std::string& path);
