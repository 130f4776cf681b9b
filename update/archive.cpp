#include "update/archive.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "diag/log.h"
#include "update/file_list.h"
#include "update/md5.h"
#include "update/md5_lanes.h"
#include "update/safe_path.h"
#include "util/file_util.h"
#include "util/scoped_utf8_locale.h"

namespace {

// Large reads keep the decoder fed without holding much of the archive.
constexpr size_t kReadBlockSize = 1 << 20;
constexpr size_t kCopyBufferSize = BackgroundMd5::kBufferSize;
constexpr int kOpenRetries = 10;

struct ArchiveFree {
  void operator()(archive* a) const { archive_read_free(a); }
};
using ArchivePtr = std::unique_ptr<archive, ArchiveFree>;

ArchivePtr NewReader() {
  ArchivePtr a(archive_read_new());
  archive_read_support_format_7zip(a.get());
  archive_read_support_format_zip(a.get());
  return a;
}

// The archive file may still be held by the transfer that just wrote it, so
// opening is retried briefly before giving up.
bool ArchiveFileOpens(const std::string& path) {
  for (int attempt = 0; attempt <= kOpenRetries; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      close(fd);
      return true;
    }
  }
  return false;
}

ArchivePtr OpenArchiveFile(const std::string& path) {
  ArchivePtr a = NewReader();
  if (archive_read_open_filename(a.get(), path.c_str(), kReadBlockSize) != ARCHIVE_OK) {
    WriteLogTag("Error", "Archive %s: %s", path.c_str(), archive_error_string(a.get()));
    return nullptr;
  }
  return a;
}

std::string ItemName(archive_entry* entry) {
  const char* utf8 = archive_entry_pathname_utf8(entry);
  if (!utf8) utf8 = archive_entry_pathname(entry);
  std::string name = utf8 ? utf8 : "";
  // Archives made on Windows may carry "\" separators.
  std::replace(name.begin(), name.end(), '\\', '/');
  while (name.size() > 2 && name.compare(0, 2, "./") == 0) name.erase(0, 2);
  while (!name.empty() && name.back() == '/') name.pop_back();
  return name;
}

bool IsLinkEntry(archive_entry* entry) {
  return archive_entry_filetype(entry) == AE_IFLNK || archive_entry_hardlink(entry) != nullptr ||
         archive_entry_symlink(entry) != nullptr;
}

bool IsDirEntry(archive_entry* entry) {
  return archive_entry_filetype(entry) == AE_IFDIR;
}

// Makes the folders above each item's target. A package's items come
// folder by folder, so the folder made last is remembered and not asked of
// the file system again for the next item in it. Owned by one extraction.
class ParentFolders {
 public:
  void MakeFor(const std::string& target) {
    const size_t slash = target.rfind('/');
    if (slash != std::string::npos && target.compare(0, slash, last_) == 0 &&
        last_.size() == slash) {
      return;
    }
    CreateParentFolders(target);
    last_ = slash == std::string::npos ? std::string() : target.substr(0, slash);
  }

 private:
  std::string last_;
};

// Outcome of writing one item's data.
enum class WriteResult { kOk, kCannotCreate, kDecodeFailed, kWriteFailed, kTooLarge };

// Writes the decoder's own blocks as they come, without a copy.
WriteResult CopyDecoderBlocks(archive* a, int fd, int64_t maxBytes, int64_t* size) {
  for (;;) {
    const void* block = nullptr;
    size_t length = 0;
    la_int64_t offset = 0;
    int r = archive_read_data_block(a, &block, &length, &offset);
    if (r == ARCHIVE_EOF) return WriteResult::kOk;
    if (r != ARCHIVE_OK && r != ARCHIVE_WARN) return WriteResult::kDecodeFailed;
    if (offset + static_cast<int64_t>(length) > maxBytes) return WriteResult::kTooLarge;
    if (offset != *size && lseek(fd, offset, SEEK_SET) < 0) return WriteResult::kWriteFailed;
    if (!WriteAll(fd, static_cast<const char*>(block), length)) return WriteResult::kWriteFailed;
    *size = offset + static_cast<int64_t>(length);
  }
}

// Copies each piece out of the decoder so that it can be hashed while the
// next one is decoded; two buffers take turns.
WriteResult CopyHashedData(archive* a, int fd, BackgroundMd5* digest, int64_t maxBytes,
                           int64_t* size) {
  WriteResult result = WriteResult::kOk;
  for (int turn = 0;; turn ^= 1) {
    char* buffer = digest->Buffer(turn);
    la_ssize_t n = archive_read_data(a, buffer, kCopyBufferSize);
    if (n < 0) {
      result = WriteResult::kDecodeFailed;
      break;
    }
    if (n == 0) break;
    *size += n;
    if (*size > maxBytes) {
      result = WriteResult::kTooLarge;
      break;
    }
    if (!WriteAll(fd, buffer, static_cast<size_t>(n))) {
      result = WriteResult::kWriteFailed;
      break;
    }
    digest->Feed(buffer, static_cast<size_t>(n));
  }
  // Drained before the next item reuses the buffers.
  digest->Finish();
  return result;
}

// Reads a small item whole into the batch's next lane, writing it as it
// comes; its digest is taken with the rest of the batch. An item longer
// than a lane (more than its header said) fails as undecodable.
WriteResult CopyIntoLane(archive* a, int fd, Md5Batch* batch, int64_t* size) {
  char* lane = batch->NextBuffer();
  size_t used = 0;
  for (;;) {
    char spare;
    const bool full = used == Md5Batch::kMaxMessage;
    la_ssize_t n = full ? archive_read_data(a, &spare, 1)
                        : archive_read_data(a, lane + used, Md5Batch::kMaxMessage - used);
    if (n < 0 || (full && n > 0)) return WriteResult::kDecodeFailed;
    if (n == 0) break;
    if (!WriteAll(fd, lane + used, static_cast<size_t>(n))) return WriteResult::kWriteFailed;
    used += static_cast<size_t>(n);
  }
  *size = static_cast<int64_t>(used);
  return WriteResult::kOk;
}

// Where an item's digest is taken: streamed beside the writes, in a lane
// of the batch (out->md5 then stays empty until the batch is digested), or
// not at all.
struct ItemDigest {
  BackgroundMd5* stream = nullptr;
  Md5Batch* lane = nullptr;
};

// Streams the current entry's data into `target` through a temporary file
// renamed into place; on any failure the target is left as it was. With a
// stream digester, out->md5 receives the digest of the bytes written.
WriteResult WriteEntryData(archive* a, archive_entry* entry, const std::string& target,
                           ItemDigest how, ParentFolders* folders, ExtractedFile* out,
                           int64_t maxBytes = kNoSizeLimit) {
  BackgroundMd5* digest = how.stream;
  if (archive_entry_size_is_set(entry) && archive_entry_size(entry) > maxBytes)
    return WriteResult::kTooLarge;
  folders->MakeFor(target);
  std::string temp = TempPathFor(target);
  mode_t mode = (archive_entry_perm(entry) & 0111) ? 0755 : 0644;
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return WriteResult::kCannotCreate;
  if (digest) digest->Start();
  int64_t size = 0;
  WriteResult result = how.lane ? CopyIntoLane(a, fd, how.lane, &size)
                       : digest ? CopyHashedData(a, fd, digest, maxBytes, &size)
                                : CopyDecoderBlocks(a, fd, maxBytes, &size);
  std::string md5 = digest ? digest->Finish() : "";
  if (close(fd) != 0 && result == WriteResult::kOk) result = WriteResult::kWriteFailed;
  if (result == WriteResult::kOk && rename(temp.c_str(), target.c_str()) != 0) {
    result = WriteResult::kWriteFailed;
  }
  if (result != WriteResult::kOk) {
    unlink(temp.c_str());
    return result;
  }
  out->md5 = md5;
  out->size = size;
  return result;
}

// Counts the items by walking the headers; no item data is decoded. -1
// when the archive cannot be read.
int CountItems(const std::string& path) {
  ArchivePtr a = OpenArchiveFile(path);
  if (!a) return -1;
  archive_entry* entry = nullptr;
  int count = 0;
  int r;
  while ((r = archive_read_next_header(a.get(), &entry)) == ARCHIVE_OK || r == ARCHIVE_WARN) {
    ++count;
  }
  if (r != ARCHIVE_EOF) {
    WriteLogTag("Error", "Archive %s: %s", path.c_str(), archive_error_string(a.get()));
    return -1;
  }
  return count;
}

// Refuses what must never be written: names leaving the destination folder,
// links (which could point a later item outside it) and special files.
bool IsRefusedItem(archive_entry* entry, const std::string& name) {
  if (!IsSafeRelativePath(name)) {
    WriteLogTag("Error", "7zUnzip File %s refused: name leaves the destination folder",
                name.c_str());
    return true;
  }
  if (IsLinkEntry(entry)) {
    WriteLogTag("Error", "7zUnzip File %s refused: links are not unpacked", name.c_str());
    return true;
  }
  // A file item named "." (or "a/.") would land on a folder that exists.
  if (!IsDirEntry(entry) &&
      (archive_entry_filetype(entry) != AE_IFREG || FileNameOf(name) == ".")) {
    WriteLogTag("Error", "7zUnzip File %s refused: not a plain file", name.c_str());
    return true;
  }
  return false;
}

// The digests of the batch's items go to their records in `written`.
void TakeBatchDigests(Md5Batch* batch, std::vector<ExtractedFile>* written) {
  for (auto& [index, md5] : batch->Digest()) (*written)[index].md5 = std::move(md5);
}

// True when the item is known to fit a lane of the batch.
bool FitsLane(archive_entry* entry) {
  return archive_entry_size_is_set(entry) && archive_entry_size(entry) >= 0 &&
         archive_entry_size(entry) <= static_cast<int64_t>(Md5Batch::kMaxMessage);
}

// The digesters of a package's items, kept for the whole package.
struct PackageDigests {
  explicit PackageDigests(Md5LaneHasher* lanes) : stream(lanes) {}
  BackgroundMd5 stream;
  Md5Batch batch;
};

// Unpacks one package item. Failures of the item alone are logged and
// passed over. Small items are digested in batches: their records in
// `written` get their digests when the batch fills or the package ends.
void ExtractPackageItem(archive* a, archive_entry* entry, const std::string& destFolder,
                        PackageDigests* digests, ParentFolders* folders,
                        std::vector<ExtractedFile>* written, ExtractProgress* progress) {
  std::string name = ItemName(entry);
  if (IsRefusedItem(entry, name)) return;
  if (IsDirEntry(entry)) {
    CreateFolderPath(destFolder + name);
    return;
  }
  ExtractedFile file;
  file.name = name;
  // A package's own list is read whole later: it gets the lists' limit.
  const int64_t limit = IsPackageListName(name) ? kClientListLimit : kNoSizeLimit;
  ItemDigest how;
  if (digests && written && !IsPackageListName(name) && FitsLane(entry)) {
    how.lane = &digests->batch;
  } else if (digests) {
    how.stream = &digests->stream;
  }
  switch (WriteEntryData(a, entry, destFolder + name, how, folders, &file, limit)) {
    case WriteResult::kOk:
      break;
    case WriteResult::kTooLarge:
      WriteLogTag("Error", "7zUnzip File %s refused: larger than %lld bytes", name.c_str(),
                  static_cast<long long>(limit));
      return;
    case WriteResult::kCannotCreate:
    case WriteResult::kWriteFailed:
      WriteLogA("Error! 7zUnzip File failed!  Path is Null");
      return;
    case WriteResult::kDecodeFailed:
      WriteLog("7zUnzip File %s Error!", name.c_str());
      WriteLogTag("Error", "Archive: %s", archive_error_string(a));
      // A broken stream shows as a fatal next header; the caller stops there.
      return;
  }
  if (progress) progress->OnFileWritten();
  if (written && !IsPackageListName(name)) written->push_back(std::move(file));
  if (how.lane &&
      how.lane->Commit(static_cast<size_t>(written->back().size), written->size() - 1)) {
    TakeBatchDigests(how.lane, written);
  }
}

// Moves `a` to the first file item (folders are passed over). Null when
// there is none or the headers cannot be read.
archive_entry* FirstFileItem(archive* a) {
  archive_entry* entry = nullptr;
  int r;
  while ((r = archive_read_next_header(a, &entry)) == ARCHIVE_OK || r == ARCHIVE_WARN) {
    if (!IsDirEntry(entry)) return entry;
  }
  return nullptr;
}

// Shared body of ExtractSingleFile and ExtractToFolder: the first file item
// goes to target (or, when target is empty, to destFolder + its name).
bool ExtractFirstItem(const std::string& archivePath, const std::string& destFolder,
                      const std::string& target, bool decodeFailureIsSuccess, std::string* md5Hex,
                      int64_t maxBytes) {
  if (md5Hex) md5Hex->clear();
  ScopedUtf8Locale utf8;
  // A file that does not open is reported by the single-file form only;
  // an unreadable archive by both.
  if (!ArchiveFileOpens(archivePath)) {
    if (!target.empty()) WriteLog("7zUnzip Error!");
    return false;
  }
  ArchivePtr a = OpenArchiveFile(archivePath);
  archive_entry* entry = a ? FirstFileItem(a.get()) : nullptr;
  if (!entry) {
    WriteLog("7zUnzip Error!");
    return false;
  }
  std::string name = ItemName(entry);
  if (target.empty() && IsRefusedItem(entry, name)) return false;
  if (!target.empty() && (IsLinkEntry(entry) || archive_entry_filetype(entry) != AE_IFREG)) {
    WriteLogTag("Error", "7zUnzip File %s refused: not a plain file", name.c_str());
    return false;
  }
  ExtractedFile file;
  auto digest = md5Hex ? std::make_unique<BackgroundMd5>() : nullptr;
  ParentFolders folders;
  WriteResult r = WriteEntryData(a.get(), entry, target.empty() ? destFolder + name : target,
                                 ItemDigest{digest.get(), nullptr}, &folders, &file, maxBytes);
  if (r == WriteResult::kTooLarge) {
    WriteLogTag("Error", "7zUnzip File %s refused: larger than %lld bytes", name.c_str(),
                static_cast<long long>(maxBytes));
    return false;
  }
  if (r == WriteResult::kDecodeFailed) {
    WriteLogTag("Error", "7zUnzip File %s Error! %s", name.c_str(), archive_error_string(a.get()));
    return decodeFailureIsSuccess;
  }
  if (r != WriteResult::kOk) {
    WriteLogTag("Error", "7zUnzip File %s cannot be written", name.c_str());
    return false;
  }
  if (md5Hex) *md5Hex = file.md5;
  return true;
}

}  // namespace

// ---- Handle wrapper ----

// One opened in-memory archive. libarchive reads sequentially, so the item
// table is built once at open and a reader is kept positioned after the last
// decoded item; asking for an earlier item starts a fresh reader.
struct Z7Archive {
  struct Item {
    std::string name;
    int64_t size = 0;
    bool isDir = false;
  };
  const void* data = nullptr;
  size_t length = 0;
  std::vector<Item> items;
  ArchivePtr reader;
  int nextIndex = 0;  // index of the item the reader's next header yields
  std::vector<unsigned char> buffer;
};

namespace {

ArchivePtr OpenMemoryReader(const Z7Archive& z) {
  ArchivePtr a = NewReader();
  if (archive_read_open_memory(a.get(), z.data, z.length) != ARCHIVE_OK) return nullptr;
  return a;
}

bool ListItems(Z7Archive* z) {
  ArchivePtr a = OpenMemoryReader(*z);
  if (!a) return false;
  archive_entry* entry = nullptr;
  int r;
  while ((r = archive_read_next_header(a.get(), &entry)) == ARCHIVE_OK || r == ARCHIVE_WARN) {
    z->items.push_back({ItemName(entry), archive_entry_size(entry), IsDirEntry(entry)});
  }
  return r == ARCHIVE_EOF;
}

// Positions the handle's reader on item `index`; null on failure.
archive_entry* SeekItem(Z7Archive* z, int index) {
  if (!z->reader || z->nextIndex > index) {
    z->reader = OpenMemoryReader(*z);
    z->nextIndex = 0;
    if (!z->reader) return nullptr;
  }
  archive_entry* entry = nullptr;
  while (z->nextIndex <= index) {
    int r = archive_read_next_header(z->reader.get(), &entry);
    if (r != ARCHIVE_OK && r != ARCHIVE_WARN) {
      z->reader.reset();
      return nullptr;
    }
    ++z->nextIndex;
  }
  return entry;
}

}  // namespace

int Open7Zip(const void* data, int64_t length, HZIP7* handle) {
  if (!handle || !data || length <= 0) return kZ7OpenFailed;
  ScopedUtf8Locale utf8;
  auto z = std::make_unique<Z7Archive>();
  z->data = data;
  z->length = static_cast<size_t>(length);
  if (!ListItems(z.get())) return kZ7OpenFailed;
  *handle = z.release();
  return kZ7Ok;
}

int Get7ZipItem(HZIP7 handle, int index, Z7ENTRY* entry) {
  if (!handle || !entry) return kZ7Ok;
  if (index == -1) {
    entry->index = static_cast<int32_t>(handle->items.size());
    return kZ7Ok;
  }
  std::memset(entry->name, 0, sizeof(entry->name));
  entry->size = 0;
  entry->isDir = 0;
  if (index < 0 || static_cast<size_t>(index) >= handle->items.size()) return kZ7Ok;
  const Z7Archive::Item& item = handle->items[index];
  if (item.name.size() < sizeof(entry->name)) {
    std::memcpy(entry->name, item.name.data(), item.name.size());
  }
  entry->size = item.size;
  entry->isDir = item.isDir ? 1 : 0;
  return kZ7Ok;
}

int Unzip7ZipItem(HZIP7 handle, int index, const unsigned char** bytes, size_t* length) {
  if (!handle || !bytes || !length || index < 0) return kZ7UnzipFailed;
  if (static_cast<size_t>(index) >= handle->items.size() || handle->items[index].isDir) {
    return kZ7UnzipFailed;
  }
  ScopedUtf8Locale utf8;
  archive_entry* entry = SeekItem(handle, index);
  if (!entry) return kZ7UnzipFailed;
  std::vector<unsigned char>& out = handle->buffer;
  out.clear();
  size_t used = 0;
  for (;;) {
    if (out.size() - used < kCopyBufferSize) out.resize(used + kCopyBufferSize);
    la_ssize_t n = archive_read_data(handle->reader.get(), out.data() + used, out.size() - used);
    if (n < 0) {
      handle->reader.reset();
      return kZ7UnzipFailed;
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  out.resize(used);
  *bytes = out.data();
  *length = used;
  return kZ7Ok;
}

int Close7Zip(HZIP7 handle) {
  delete handle;
  return kZ7Ok;
}

// ---- Extraction routines ----

bool ExtractPackage(const std::string& archivePath, const std::string& destFolder,
                    std::vector<ExtractedFile>* written, ExtractProgress* progress,
                    Md5LaneHasher* lanes) {
  ScopedUtf8Locale utf8;
  if (!ArchiveFileOpens(archivePath)) return false;  // nothing to read: no line of its own
  int count = CountItems(archivePath);
  ArchivePtr a = count >= 0 ? OpenArchiveFile(archivePath) : nullptr;
  if (!a) {
    WriteLog("7zUnzip Error!ZR = %d", kZ7OpenFailed);
    return false;
  }
  if (progress) progress->OnItemCount(count);
  auto digests = written ? std::make_unique<PackageDigests>(lanes) : nullptr;
  ParentFolders folders;
  archive_entry* entry = nullptr;
  int r;
  while ((r = archive_read_next_header(a.get(), &entry)) == ARCHIVE_OK || r == ARCHIVE_WARN) {
    ExtractPackageItem(a.get(), entry, destFolder, digests.get(), &folders, written, progress);
  }
  if (digests) TakeBatchDigests(&digests->batch, written);
  if (r != ARCHIVE_EOF) {
    WriteLogTag("Error", "Archive %s: %s", archivePath.c_str(), archive_error_string(a.get()));
    return false;
  }
  return true;
}

bool ExtractSingleFile(const std::string& archivePath, const std::string& targetPath,
                       std::string* md5Hex, int64_t maxBytes) {
  return ExtractFirstItem(archivePath, "", targetPath, false, md5Hex, maxBytes);
}

bool ExtractToFolder(const std::string& archivePath, const std::string& destFolder,
                     std::string* md5Hex, int64_t maxBytes) {
  return ExtractFirstItem(archivePath, destFolder, "", true, md5Hex, maxBytes);
}
