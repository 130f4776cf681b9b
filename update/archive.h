// Unpacking of the archives the update server publishes: single packed game
// files, the published file list, the launcher's own archives and the large
// first-download packages. Both 7z and zip archives are read.
//
// Two layers:
//  - a handle wrapper (Open7Zip ... Close7Zip) over an archive held in the
//    caller's memory, listing items and decoding them by index;
//  - three extraction routines that stream an archive file from disk and
//    write its items, each under a temporary name renamed into place.
//
// Thread-safety: every function may run on several threads at once; a handle
// is used by one thread at a time. Nothing here touches shared state except
// through the caller's ExtractProgress.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "update/types.h"

// ---- Handle wrapper over an archive in memory ----

// Results of the wrapper functions.
constexpr int kZ7Ok = 1;
constexpr int kZ7OpenFailed = 0;   // Open7Zip only
constexpr int kZ7UnzipFailed = 3;  // Unzip7ZipItem only

struct Z7Archive;
typedef Z7Archive* HZIP7;

// One item of an archive as Get7ZipItem describes it.
struct Z7ENTRY {
  int32_t index;   // for the index -1 request: the number of items
  char name[260];  // path inside the archive, zero-terminated UTF-8; empty
                   // when the name does not fit (such items are not usable)
  int64_t size;    // unpacked size
  int32_t isDir;   // 1 for a folder item
};

// Opens the archive held in data[0, length). The block must stay alive and
// unchanged until Close7Zip. Returns 1 and stores the handle, or 0.
int Open7Zip(const void* data, int64_t length, HZIP7* handle);

// Index -1: entry->index = number of items. Otherwise describes item `index`
// (an index out of range yields an empty, zero-sized entry). Always 1.
int Get7ZipItem(HZIP7 handle, int index, Z7ENTRY* entry);

// Decodes item `index`; *bytes points into the handle's buffer and stays
// valid until the next Unzip7ZipItem or Close7Zip on this handle. Items taken
// in increasing index order are decoded in one pass. Returns 1, or 3 on any
// failure (bad index, folder item, damaged data).
int Unzip7ZipItem(HZIP7 handle, int index, const unsigned char** bytes, size_t* length);

// Releases the handle (null is accepted). Always 1.
int Close7Zip(HZIP7 handle);

class Md5LaneHasher;

// ---- Extraction routines ----

// One file written by ExtractPackage.
struct ExtractedFile {
  std::string name;  // relative to the destination folder, "/" separated
  std::string md5;   // lowercase hex MD5 of the bytes written
  int64_t size = 0;
};

// Receives the counting of ExtractPackage (the worker adds these to the
// engine's file counters under its lock).
class ExtractProgress {
 public:
  virtual ~ExtractProgress() = default;
  // Number of items in the package, folders included; called once before
  // the first file is written.
  virtual void OnItemCount(int n) = 0;
  // One more file has been written into place.
  virtual void OnFileWritten() = 0;
};

// Unpacks every item of the package at archivePath into destFolder (ends
// with "/"), streaming it from disk. `written` (may be null; then no digest
// is computed) receives the files written, except the package list files
// ("data.7z.md5" and its siblings, and any "LauncherConfig/update/*.md5").
// Items with absolute names, ".." components or link entries are refused and
// logged. Returns false when the archive cannot be read or its data stream
// breaks off; a single item that fails is logged and skipped. lanes
// (borrowed, may be null): the helper shared by the workers that digests the
// large items, side by side with theirs.
bool ExtractPackage(const std::string& archivePath, const std::string& destFolder,
                    std::vector<ExtractedFile>* written, ExtractProgress* progress,
                    Md5LaneHasher* lanes = nullptr);

// The single-file forms refuse an item larger than maxBytes (an "Error"
// line, false, nothing written): an archive from the server must not fill
// the disk.
//
// Writes the first file item of the archive to targetPath (temporary name
// beside it, renamed into place). md5Hex (may be null) receives the MD5 of
// what was written, computed while writing. Returns false, leaving the target
// untouched, when the archive cannot be read, the item does not decode or
// the file cannot be written.
bool ExtractSingleFile(const std::string& archivePath, const std::string& targetPath,
                       std::string* md5Hex, int64_t maxBytes = kNoSizeLimit);

// Writes the first file item of the archive into destFolder (ends with "/")
// under the item's own name. Returns false when the archive cannot be read
// or the file cannot be written; returns true without writing when the item
// itself does not decode (the callers check the MD5 of the result).
bool ExtractToFolder(const std::string& archivePath, const std::string& destFolder,
                     std::string* md5Hex, int64_t maxBytes = kNoSizeLimit);
