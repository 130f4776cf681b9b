// The file list layout shared by every list of game files: "Filelist" /
// "Files" / "File" with the attributes Path, Code, Size, Zip and zipSize;
// "version" in update lists, "Number" in package lists. This unit is the one
// reader and the one writer of the layout, with one rule for numbers, and
// the one table of the package lists' names.
//
// Numbers follow the decimal rule of the lists (leading blanks, an optional
// sign, the leading digits; anything else reads as 0). A number that does
// not fit, a negative size and a size beyond kLargestFileSize are out of
// range: the entry is skipped with an "Error" log line naming the list and
// the path, so that no later step ever sums or allocates by such a value.
//
// Thread-safety: free functions without shared state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "update/types.h"

// No real file comes near this; sizes beyond it are taken for damage.
constexpr int64_t kLargestFileSize = int64_t{1} << 40;  // 1 TiB

// What a list file holds.
struct FileList {
  std::vector<FileEntry> entries;  // valid "File" elements with a Path, in order
  bool hasRoot = false;            // a "Filelist" element
  bool hasFiles = false;           // a "Files" element under it
  std::string version;             // text of "Filelist"/"version", when present
};

// One entry from its attribute texts (null for an absent attribute); false
// with the reason in *why when a number is out of range. zipSize is read
// only when Zip is 1 or 2.
bool FileEntryFromAttributes(const char* path, const char* code, const char* size, const char* zip,
                             const char* zipSize, FileEntry* entry, std::string* why);

// Parses list text. False when it is not well-formed XML. Entries without a
// Path are left out; entries with numbers out of range are logged and left
// out. `name` names the list in log lines.
bool ParseFileList(const char* data, size_t size, const std::string& name, FileList* list);

// Reads a list file; false when it cannot be read, is larger than maxBytes
// (an "Error" line says so, nothing is parsed) or is not well-formed XML.
bool ReadFileList(const std::string& file, int64_t maxBytes, FileList* list);

// When a written list carries "zipSize".
enum class ZipSizeAttribute {
  kWhenPacked,  // for Zip 1 and 2 (client and local lists)
  kAlways,      // update and self-update lists, which have no "Zip"
  kNever,       // package lists
};

// How a written list looks beyond its entries.
struct FileListForm {
  std::string version;       // adds "version" when not empty (update lists)
  bool number = false;       // adds "Number" with the entry count (package lists)
  bool zipAttribute = true;  // writes "Zip"
  ZipSizeAttribute zipSize = ZipSizeAttribute::kWhenPacked;
};

// The text of a list as the launcher and the publisher write it: the
// declaration "1.0"/"UTF-8", then the elements.
std::string FileListText(const std::vector<FileEntry>& entries, const FileListForm& form);

// Whether an archive item is a first-download package's own list rather
// than a game file: "LauncherConfig/update/<name>.md5", or one of the
// known list names ("data.7z.md5" and its kin) at the package's root.
bool IsPackageListName(const std::string& itemName);
