// Path, folder and file helpers shared by every subsystem.
//
// Free functions without state; all may run on any thread, except that
// GetModuleFolder and GetModuleNamePart fill a process-wide buffer (they are
// meant for the crash handler, where no other thread calls them). None of them
// logs or throws: failure shows only in the result (false, 0, null, "").
// Paths are UTF-8; "/" is the separator, and a "\" is accepted wherever a
// caller may still hand over a path written the other way.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// True when the path exists, as a file or as a folder.
bool FileExists(const std::string& path);

// True when the path names a regular file (not a folder, device, socket...).
// "\" separators are taken as "/". False for an empty path.
bool IsPlainFile(const std::string& path);

// Copies a regular file; with failIfExists an existing destination is kept and
// the call fails. The copy is written under a temporary name and renamed into
// place, so the destination is either the old file or the whole new one. The
// permission bits (the execute bit in particular) are kept.
bool CopyPlainFile(const std::string& source, const std::string& destination, bool failIfExists);

// Size in bytes of the file, 0 when it cannot be opened. 64-bit, so files of
// 2 GiB and more report their real size.
int64_t FileSizeOf(const std::string& path);

// The last component of a path (name and extension); "/" and "\" both split.
std::string FileNameOf(const std::string& path);

// The text before the last separator ("/" or "\"); "" when there is none.
std::string GetParentFolder(const std::string& path);

// Folder of the running executable, without a trailing "/".
const char* GetModuleFolder();
// File name of the running executable (for example "Launcher.exe").
const char* GetModuleNamePart();
// Makes the executable's folder the current folder; false when it cannot.
bool EnterModuleFolder();

// Creates every folder along the path ("/" or "\" separated). Returns whether
// the deepest folder was created by this call: false when it existed already.
bool CreateFolderPath(const std::string& path);

// Creates every folder named before the last "/" of the path; the last
// component (a file name) is not created. Always true.
bool CreateParentFolders(const std::string& path);

// Deletes everything inside the folder, recursively; the folder itself stays.
// Unless deleteDesktopIni is set, files named desktop.ini (any letter case)
// and the folders holding them stay. With wipeIndexDat, files named index.dat
// are zeroed past their first 64 bytes before they are deleted. Symbolic links
// are removed, never followed. False when the folder cannot be listed.
bool DeleteFolderContents(const std::string& folder, bool deleteDesktopIni, bool wipeIndexDat);

// Overwrites folder/name from offset 64 to its end with zero bytes. False
// when the file does not exist or cannot be opened for writing.
bool WipeFileBody(const std::string& folder, const std::string& name);

// Creates the missing folders along the path, then opens the file for binary
// writing ("wb", truncating). Null on failure; the caller closes the file.
FILE* OpenFileForWrite(const std::string& path);

// The whole content of a regular file into *out. False, with *out empty,
// when the file is missing, is not a plain file, cannot be read or holds
// more than maxBytes: callers read files of bounded kinds (lists, keys,
// signatures) and must not take a huge or endless one into memory.
bool ReadWholeFile(const std::string& path, int64_t maxBytes, std::string* out);
// The first `count` bytes of a regular file into *out; false when it has
// fewer or cannot be read.
bool ReadFileHead(const std::string& path, size_t count, std::string* out);

// Deletes a plain file (never a folder); true when it is gone afterwards,
// also when it was never there.
bool RemoveFileIfPresent(const std::string& path);

// Puts the content of source at target so that a reader of target only ever
// sees the old or the new file: a rename when both lie on one file system,
// else a copy to a temporary name beside target and a rename (source then
// stays). False leaves target as it was.
bool MoveIntoPlace(const std::string& source, const std::string& target);

// Adds the execute bits (owner, group, others) to a file's mode.
bool MakeExecutable(const std::string& path);

// The first non-empty line of a UTF-8 text file, without a leading byte
// order mark; a carriage return before the line feed is kept. Lines longer
// than 511 bytes yield their first 511 bytes. "" when the file cannot be
// opened or holds no non-empty line.
std::string ReadFirstLine(const std::string& path);

// Lists a folder into `entries` (appending). flags: 1 folders, recursively;
// 2 files. With a filter only files whose name contains it are listed;
// without one, the folder's own path is appended before its first file.
// Entries are in byte order of their names. Returns 1 when listed, 0 when
// the path is empty, missing or unreadable, -1 when it is not a folder.
int ListFolder(const std::string& folder, std::vector<std::string>& entries, int flags,
               const std::string& filter = "");

// Writes all of `size` bytes to an open descriptor, retrying short writes and
// interrupted calls. False on the first real write error.
bool WriteAll(int fd, const char* data, size_t size);

// Writes `data` to `path` through a temporary file in the same folder that is
// flushed to disk and renamed over the old file. False (and the old file
// untouched) on any failure.
bool WriteFileAtomically(const std::string& path, const std::string& data);

// A fresh temporary name beside `path`, for writers that rename into place.
// Names start with FileNameOf(path) + ".tmp-".
std::string TempPathFor(const std::string& path);

// Deletes what TempPathFor names left beside `path` (a crash between writing
// and renaming): files, or folders with all they hold. A name whose writing
// process still runs (this one included) is kept, since that writer may yet
// rename it into place. Returns how many were removed; their names are
// appended to `removedNames` when given.
int RemoveStaleTempFiles(const std::string& path, std::vector<std::string>* removedNames = nullptr);
