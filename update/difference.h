// Reading the published file list for the difference step. The step itself
// (GetDifferentFiles and its three rules, GetScopeList, GetDownloadSize,
// DeleteOldFile) is a member of CVXDlownloader, defined in difference.cpp.
//
// Thread-safety: pure functions over their arguments.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "update/types.h"

// A file list read for comparison: entries sorted by path (byte order), one
// per path, the first of the document kept. Sorted vectors rather than maps:
// the comparison walks both lists in step, and 100,000 entries stay cheap.
using PublishedList = std::vector<FileEntry>;
using LocalCodes = std::vector<std::pair<std::string, std::string>>;  // path, code

// Published list. Entries whose path would leave the installation folder are
// refused with an "Error" log line. False when the file does not load.
bool LoadPublishedList(const std::string& file, PublishedList* published);

// Local list: sorted path -> code, and the paths in document order with
// duplicates. Unsafe paths are left out of both. False when the file does not
// load.
bool LoadLocalCodes(const std::string& file, LocalCodes* codes, std::vector<std::string>* paths);

// Binary searches of the sorted lists; null when the path is not there.
const FileEntry* FindEntry(const PublishedList& list, const std::string& path);
const std::string* FindCode(const LocalCodes& list, const std::string& path);

// Whether a new file with this path is fetched in a normal pass: its
// extension (the text after the last ".", the whole path without one) is
// one of the game's program and script types, compared case-sensitively.
bool IsFetchedExtension(const std::string& path);
