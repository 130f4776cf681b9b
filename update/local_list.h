// LocalList: the installed-files list (LauncherConfig/localclient.md5) in
// memory: the XML document plus an index from "Path" to its "File" element.
// The engine facade owns one and drives it through its file-list members
// (OpenLocalList, RecordFileInLocalList, ...); this class keeps the XML
// library out of the facade's header.
//
// Thread-safety: every member takes the list's own lock, so a save from the
// window thread (exit button) never sees a half-made change of the update
// thread. Entries returned are copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "update/types.h"

class LocalList {
 public:
  LocalList();
  ~LocalList();
  LocalList(const LocalList&) = delete;
  LocalList& operator=(const LocalList&) = delete;

  // Loads a file list and indexes its "File" elements by "Path" (a later
  // duplicate wins in the index; both stay in the document). False when the
  // file is missing or not well-formed XML; the previous content stays.
  bool Load(const std::string& path);
  // Replaces the content with an empty list ("Filelist"/"Files") to be saved
  // at `path`.
  void CreateEmpty(const std::string& path);
  // Saves to the file loaded or created, through a temporary file that is
  // flushed and renamed over the old one; a document unchanged since it was
  // loaded or saved, whose file is still there, is not written again. False
  // when there is no such file yet or the save failed; the old file then
  // stays as it was.
  bool Save() const;
  std::string fileName() const;

  // Adds a "File" element, or updates "Code" and "Size" of the indexed one
  // ("Zip" and "zipSize" of a known entry stay as they are).
  void Record(const std::string& key, const FileEntry& entry);
  // Removes every "File" element whose "Path" equals key byte for byte and
  // returns how many went, or -1 when the document has no "Filelist"/"Files".
  // Index entries that named a removed element are dropped with it.
  int Remove(const std::string& key);
  // Drops key from the index only; false when it was not there.
  bool Forget(const std::string& key);
  bool Contains(const std::string& key) const;
  // The indexed entry of key; false when there is none.
  bool Find(const std::string& key, FileEntry* entry) const;
  size_t IndexSize() const;
  // Every "File" element with a "Path", in document order.
  std::vector<FileEntry> Entries() const;

 private:
  struct Document;
  mutable std::mutex lock_;
  std::unique_ptr<Document> doc_;  // guarded by lock_
  std::string fileName_;           // guarded by lock_
  // The file at fileName_ holds the document as it is; guarded by lock_.
  mutable bool onDisk_ = false;
};
