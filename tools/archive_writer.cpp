#include "tools/archive_writer.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "util/file_util.h"
#include "util/scoped_utf8_locale.h"

namespace {

constexpr size_t kCopyBufferSize = 256 * 1024;

struct WriterFree {
  void operator()(archive* a) const { archive_write_free(a); }
};
using WriterPtr = std::unique_ptr<archive, WriterFree>;

WriterPtr NewSevenZipWriter(int level) {
  WriterPtr a(archive_write_new());
  archive_write_set_format_7zip(a.get());
  level = std::clamp(level, 0, 9);
  std::string options =
      level == 0 ? "7zip:compression=store"
                 : "7zip:compression=lzma2,7zip:compression-level=" + std::to_string(level);
  if (archive_write_set_options(a.get(), options.c_str()) != ARCHIVE_OK) return nullptr;
  return a;
}

// Appends one item; its data is streamed from its source file.
bool WritePackItem(archive* a, const PackItem& item, std::atomic<int64_t>* bytesRead,
                   std::string* error) {
  std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(),
                                                                      archive_entry_free);
  archive_entry_set_pathname_utf8(entry.get(), item.name.c_str());
  archive_entry_set_filetype(entry.get(), AE_IFREG);
  archive_entry_set_perm(entry.get(), 0644);
  int fd = -1;
  if (!item.sourcePath.empty()) {
    fd = open(item.sourcePath.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
      if (fd >= 0) close(fd);
      *error = item.sourcePath + ": " + std::strerror(errno);
      return false;
    }
    archive_entry_set_size(entry.get(), st.st_size);
    archive_entry_set_perm(entry.get(), st.st_mode & 0755);
    archive_entry_set_mtime(entry.get(), st.st_mtime, 0);
  } else {
    archive_entry_set_size(entry.get(), static_cast<la_int64_t>(item.data.size()));
  }
  bool ok = archive_write_header(a, entry.get()) == ARCHIVE_OK;
  if (ok && fd < 0 && !item.data.empty()) {
    ok = archive_write_data(a, item.data.data(), item.data.size()) >= 0;
    if (bytesRead) *bytesRead += static_cast<int64_t>(item.data.size());
  }
  if (ok && fd >= 0) {
    std::unique_ptr<char[]> buffer(new char[kCopyBufferSize]);
    ssize_t n;
    while ((n = read(fd, buffer.get(), kCopyBufferSize)) > 0) {
      if (archive_write_data(a, buffer.get(), static_cast<size_t>(n)) < 0) break;
      if (bytesRead) *bytesRead += n;
    }
    ok = n == 0;
    if (n < 0) *error = item.sourcePath + ": " + std::strerror(errno);
  }
  if (fd >= 0) close(fd);
  if (!ok && error->empty()) {
    const char* why = archive_error_string(a);
    *error = item.name + ": " + (why ? why : "write failed");
  }
  return ok;
}

}  // namespace

bool PackSevenZip(const std::string& archivePath, const std::vector<PackItem>& items, int level,
                  std::atomic<int64_t>* bytesRead, std::string* error) {
  std::string ignored;
  if (!error) error = &ignored;
  error->clear();
  ScopedUtf8Locale utf8;
  WriterPtr a = NewSevenZipWriter(level);
  if (!a) {
    *error = "7z writer does not accept its options";
    return false;
  }
  CreateParentFolders(archivePath);
  std::string temp = TempPathFor(archivePath);
  bool ok = archive_write_open_filename(a.get(), temp.c_str()) == ARCHIVE_OK;
  for (size_t i = 0; ok && i < items.size(); ++i)
    ok = WritePackItem(a.get(), items[i], bytesRead, error);
  if (archive_write_close(a.get()) != ARCHIVE_OK && ok) {
    ok = false;
    const char* why = archive_error_string(a.get());
    *error = temp + ": " + (why ? why : "write failed");
  }
  if (ok && rename(temp.c_str(), archivePath.c_str()) != 0) {
    ok = false;
    *error = archivePath + ": " + std::strerror(errno);
  }
  if (!ok) unlink(temp.c_str());
  return ok;
}
