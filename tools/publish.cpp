#include "tools/publish.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "platform/crypto.h"
#include "tools/archive_writer.h"
#include "update/archive.h"
#include "update/chunk_map.h"
#include "update/delta_plan.h"
#include "update/file_list.h"
#include "update/install_layout.h"
#include "update/md5.h"
#include "update/release_layout.h"
#include "update/release_sig.h"
#include "update/safe_path.h"
#include "update/types.h"
#include "util/file_util.h"
#include "util/text_util.h"

namespace fs = std::filesystem;

namespace {

using namespace release_layout;

// A signing key file is a few hundred bytes.
constexpr int64_t kSigningKeyLimit = int64_t{64} << 10;

// Packing a big file costs a full LZMA pass, minutes for a packed game
// archive that cannot shrink. Slices spread over such a file are packed
// first: when even they save less than half of --pack-saving, the file is
// published plain without the full pass (files near the limit still get
// it).
constexpr int64_t kSampledFileSize = int64_t{8} << 20;
constexpr int64_t kSampleSliceSize = int64_t{256} << 10;
constexpr int kSampleSlices = 4;
// Big files packed to at least this share of their size count as
// incompressible: they go into packages of their own, stored, so that no
// package spends an LZMA pass on them. (Small ones stay with the rest: a
// republish that takes them from the previous release does not know how
// they packed, and must group files as that release did to reuse its
// packages.)
constexpr double kIncompressibleRatio = 0.98;

// Files and folders of the installation that belong to the launcher, not to
// the game: they are published separately or never. An installation layout
// without a folder names them relative to the game folder.
std::vector<std::string> LauncherOwned() {
  const InstallLayout game("");
  return {kConfigFolder,          "launcherlog",         "MiniDump",
          kLauncherUpdateFolder,  kLauncherRepairFolder, game.scopeFile(),
          game.launchConf(),      game.launcher(),       game.updateTool(),
          game.launcherArchive(), game.gameServerList()};
}

bool IsBelow(const std::string& path, const std::string& prefix) {
  if (prefix.empty()) return false;
  std::string p = prefix.back() == '/' ? prefix.substr(0, prefix.size() - 1) : prefix;
  return path == p ||
         (path.size() > p.size() && path.compare(0, p.size(), p) == 0 && path[p.size()] == '/');
}

// The lists are UTF-8 XML: a name that is not valid UTF-8 or holds control
// characters cannot be listed.
bool IsListablePath(const std::string& path) {
  for (size_t i = 0; i < path.size();) {
    unsigned char c = static_cast<unsigned char>(path[i]);
    int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
    if (extra < 0 || c < 0x20 || c == 0x7f || i + extra >= path.size()) return false;
    for (int k = 1; k <= extra; ++k) {
      if ((static_cast<unsigned char>(path[i + k]) >> 6) != 2) return false;
    }
    i += extra + 1;
  }
  return true;
}

// One published game file.
struct Published {
  FileEntry entry;
  std::string source;  // the file in the game folder
  bool reused = false;
  bool hasMap = false;                      // a chunk map is published for it
  bool mapReused = false;                   // taken from the previous release
  bool changed = false;                     // its MD5 differs from the previous release's
  int64_t withoutDelta = 0, withDelta = 0;  // download estimates when changed
  // Packed size over plain size, packed whole or judged from slices; -1
  // when not known (small or reused plain files).
  double packRatio = -1;
  bool sampled = false;  // published plain from its slices alone
  bool mapCut = false;   // its chunk map was cut in the read that took its MD5
};

// One first-download package.
struct Package {
  std::string name;           // relative to the release and the installation folder
  std::vector<size_t> files;  // indices into the published files
  std::string list;           // its file list document
  int64_t size = 0;           // of the archive, once written
  bool reused = false;
  bool stored = false;  // every file in it is incompressible: no LZMA pass
};

// The state of one publish run.
class Publisher {
 public:
  Publisher(const PublishOptions& options, PublishSummary* summary, PublishProgress* progress)
      : o_(options), summary_(summary), progress_(progress) {}

  bool Run(std::string* error);

 private:
  bool CheckInputs();
  std::string Source(const std::string& option, const std::string& name) const {
    return option.empty() ? o_.gameDir + "/" + name : option;
  }
  bool ScanGameFolder();
  void LoadPrevious();
  bool PublishFile(Published& p, std::atomic<int64_t>* done);
  // The map and its block hashes when the file was cut while it was read.
  bool PublishContent(Published& p, std::atomic<int64_t>* done, ChunkMap* map,
                      std::vector<uint64_t>* blocks);
  // Whether the file's MD5 should come with its chunk map, in one read.
  bool CutsWhileDigesting(const Published& p, bool mayPack) const;
  // The previous release has a file at its path of its size.
  bool LikelyUnchanged(const Published& p) const;
  // A big file judged from its slices: one that would not shrink enough is
  // not packed (*mayPack turns false). Once per file.
  void JudgeFromSlices(Published& p, bool* mayPack, const std::string& packed);
  bool ReuseFile(Published& p, std::atomic<int64_t>* done);
  bool WantsMap(const Published& p) const {
    return o_.delta && TaskKindOf(p.entry.zip) == TaskKind::Plain &&
           p.entry.size >= o_.deltaMinSize;
  }
  bool WriteMap(Published& p, ChunkMap* map, std::vector<uint64_t>* blocks);
  bool ReuseMap(Published& p, ChunkMap* map);
  void EstimateDownload(Published& p, const ChunkMap* map,
                        const std::vector<uint64_t>& blocks) const;
  void Summarize();
  void GroupPackages();
  bool WritePackage(Package& package, std::atomic<int64_t>* done);
  bool WriteLists();
  bool WriteLauncherFiles();
  bool WriteSmallFiles();
  bool LoadSigningKey();
  bool ChooseSerial();
  bool WriteSignature();
  bool RunJobs(const std::string& stage, size_t count, int64_t totalBytes,
               const std::function<bool(size_t, std::atomic<int64_t>*)>& job);
  bool WriteText(const std::string& relative, const std::string& text);
  bool Fail(const std::string& why) {
    std::lock_guard<std::mutex> hold(errorLock_);
    if (error_.empty()) error_ = why;
    return false;
  }
  std::string Staged(const std::string& relative) const { return staging_ + "/" + relative; }

  const PublishOptions& o_;
  PublishSummary* summary_;
  PublishProgress* progress_;
  std::string staging_;
  std::vector<Published> files_;
  std::set<std::string> listed_;               // every listed path
  std::map<std::string, FileEntry> previous_;  // the previous release's list
  std::vector<Package> packages_;
  int64_t total_ = 0;       // bytes of all listed files
  std::string signingKey_;  // PEM; empty for an unsigned release
  uint64_t serial_ = 0;
  std::mutex errorLock_;
  std::string error_;  // first failure, guarded by errorLock_
};

std::string ListDocument(const std::vector<const FileEntry*>& entries, bool packageList) {
  std::vector<FileEntry> copies;
  for (const FileEntry* e : entries) copies.push_back(*e);
  FileListForm form;
  if (packageList) {
    form.number = true;
    form.zipSize = ZipSizeAttribute::kNever;
  }
  return FileListText(copies, form);
}

std::map<std::string, FileEntry> ReadList(const std::string& path) {
  std::map<std::string, FileEntry> out;
  FileList list;
  if (!ReadFileList(path, kClientListLimit, &list)) return out;
  for (FileEntry& e : list.entries) out[e.path] = std::move(e);
  return out;
}

// Releases never change once published, so a hard link is as good as a
// copy; other file systems get a copy.
bool LinkOrCopy(const std::string& from, const std::string& to) {
  CreateParentFolders(to);
  if (link(from.c_str(), to.c_str()) == 0) return true;
  return CopyPlainFile(from, to, false);
}

bool Publisher::CheckInputs() {
  if (!fs::is_directory(o_.gameDir)) return Fail("game folder " + o_.gameDir + " is not a folder");
  if (o_.version.empty()) return Fail("a version text is needed (--version)");
  std::error_code ec;
  if (fs::exists(o_.releaseDir, ec) && !fs::is_empty(o_.releaseDir, ec)) {
    return Fail("release folder " + o_.releaseDir + " exists and is not empty");
  }
  for (const std::string name : {kLauncherName, kUpdateToolName}) {
    std::string path = Source(name == kLauncherName ? o_.launcherExe : o_.launcherDat, name);
    if (!IsPlainFile(path)) return Fail(name + " not found at " + path);
  }
  for (const std::string* named : {&o_.scopeFile, &o_.urlXml, &o_.updateServers}) {
    if (!named->empty() && !IsPlainFile(*named)) return Fail(*named + " not found");
  }
  if (!o_.previousDir.empty() && !IsPlainFile(o_.previousDir + "/" + kClientList)) {
    return Fail("previous release " + o_.previousDir + " has no " + kClientList);
  }
  return LoadSigningKey() && ChooseSerial();
}

// Read before any work, so that a wrong key file costs nothing.
bool Publisher::LoadSigningKey() {
  if (o_.signKeyFile.empty()) return true;
  std::string key;
  struct stat st {};
  if (!ReadWholeFile(o_.signKeyFile, kSigningKeyLimit, &key) ||
      stat(o_.signKeyFile.c_str(), &st) != 0) {
    return Fail("signing key " + o_.signKeyFile + " not found");
  }
  std::string publicKey;
  if (!platform::Ed25519PublicKeyOf(key, &publicKey)) {
    return Fail("signing key " + o_.signKeyFile +
                " is not an Ed25519 private key from kestrava-patcher keygen");
  }
  if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    summary_->warnings.push_back("signing key " + o_.signKeyFile +
                                 " can be read by others; chmod 600 it");
  }
  signingKey_ = std::move(key);
  summary_->publicKey = platform::Base64Encode(publicKey);
  return true;
}

// Players refuse a release older than one they accepted, so a serial may
// only grow from one release to the next.
bool Publisher::ChooseSerial() {
  if (signingKey_.empty()) return true;
  uint64_t previous = 0;
  const std::string previousSig = o_.previousDir + "/" + kReleaseSig;
  if (!o_.previousDir.empty() && IsPlainFile(previousSig)) {
    std::string text;
    if (!ReadWholeFile(previousSig, kSmallFileLimit, &text)) {
      return Fail("previous release's " + std::string(kReleaseSig) +
                  ": cannot be read or is larger than " + std::to_string(kSmallFileLimit) +
                  " bytes");
    }
    ReleaseManifest manifest;
    std::string why;
    if (!ParseManifest(text, &manifest, &why)) {
      return Fail("previous release's " + std::string(kReleaseSig) + ": " + why);
    }
    previous = manifest.serial;
  }
  if (o_.serial != 0 && o_.serial <= previous) {
    return Fail("--serial " + std::to_string(o_.serial) + " must be above the previous release's " +
                std::to_string(previous));
  }
  serial_ = o_.serial != 0 ? o_.serial : previous + 1;
  if (o_.serial == 0 && o_.previousDir.empty()) {
    summary_->warnings.push_back(
        "signed as serial 1: without --previous or --serial, players who accepted a later "
        "release refuse this one");
  }
  return true;
}

bool Publisher::ScanGameFolder() {
  const std::vector<std::string> launcherOwned = LauncherOwned();
  std::vector<std::string> paths;
  std::error_code ec;
  fs::recursive_directory_iterator it(o_.gameDir, ec), end;
  if (ec) return Fail(o_.gameDir + ": " + ec.message());
  for (; it != end; it.increment(ec)) {
    if (ec) return Fail(o_.gameDir + ": " + ec.message());
    std::string rel = fs::relative(it->path(), o_.gameDir, ec).generic_string();
    bool skip = false;
    for (const std::string& owned : launcherOwned) skip = skip || IsBelow(rel, owned);
    for (const std::string& ex : o_.excludes) skip = skip || IsBelow(rel, ex);
    if (skip) {
      if (it->is_directory()) it.disable_recursion_pending();
      continue;
    }
    if (it->is_symlink()) {
      summary_->warnings.push_back("symbolic link left out: " + rel);
    } else if (it->is_regular_file() && !IsListablePath(rel)) {
      summary_->warnings.push_back("name not valid UTF-8 text, left out: " + rel);
    } else if (it->is_regular_file()) {
      paths.push_back(rel);
    }
  }
  std::sort(paths.begin(), paths.end());
  for (const std::string& rel : paths) {
    Published p;
    p.entry.path = rel;
    p.source = o_.gameDir + "/" + rel;
    files_.push_back(p);
    listed_.insert(rel);
  }
  return true;
}

void Publisher::LoadPrevious() {
  if (!o_.previousDir.empty()) previous_ = ReadList(o_.previousDir + "/" + kClientList);
}

namespace {

// Packed size over plain size of kSampleSlices slices spread evenly over
// the file at `source` (of `size` bytes), packed together at `level` into a
// scratch archive at `scratch`; -1 when they cannot be read or packed.
double SampledPackRatio(const std::string& source, int64_t size, int level,
                        const std::string& scratch) {
  std::string sample(static_cast<size_t>(kSampleSliceSize * kSampleSlices), '\0');
  const int fd = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  bool ok = true;
  for (int i = 0; i < kSampleSlices && ok; ++i) {
    const off_t at = static_cast<off_t>((size - kSampleSliceSize) * i / (kSampleSlices - 1));
    char* into = sample.data() + i * kSampleSliceSize;
    ok = pread(fd, into, kSampleSliceSize, at) == kSampleSliceSize;
  }
  close(fd);
  std::string why;
  ok = ok && PackSevenZip(scratch, {{"sample", "", sample}}, level, nullptr, &why);
  const int64_t packed = ok ? FileSizeOf(scratch) : -1;
  unlink(scratch.c_str());
  return packed > 0 ? static_cast<double>(packed) / static_cast<double>(sample.size()) : -1;
}

}  // namespace

bool Publisher::ReuseFile(Published& p, std::atomic<int64_t>* done) {
  auto it = previous_.find(p.entry.path);
  if (it == previous_.end() || it->second.code != p.entry.code) return false;
  const FileEntry& old = it->second;
  std::string suffix = TaskKindOf(old.zip) == TaskKind::SevenZip ? ".7z" : "";
  std::string from = o_.previousDir + "/" + old.path + suffix;
  int64_t expected = TaskKindOf(old.zip) == TaskKind::SevenZip ? old.zipSize : old.size;
  if ((TaskKindOf(old.zip) != TaskKind::Plain && TaskKindOf(old.zip) != TaskKind::SevenZip) ||
      FileSizeOf(from) != expected)
    return false;
  if (!LinkOrCopy(from, Staged(p.entry.path + suffix))) return false;
  p.entry.zip = old.zip;
  p.entry.zipSize = TaskKindOf(old.zip) == TaskKind::SevenZip ? old.zipSize : 0;
  if (p.entry.zipSize > 0 && p.entry.size > 0) {
    p.packRatio = static_cast<double>(p.entry.zipSize) / p.entry.size;
  } else if (o_.level > 0 && p.entry.size >= kSampledFileSize) {
    // Which packages it belongs in; a package the previous release stored
    // is then found unchanged and reused.
    p.packRatio = SampledPackRatio(p.source, p.entry.size, o_.level,
                                   TempPathFor(Staged(p.entry.path + ".7z")));
  }
  p.reused = true;
  *done += p.entry.size;
  return true;
}

bool Publisher::PublishFile(Published& p, std::atomic<int64_t>* done) {
  ChunkMap map;
  std::vector<uint64_t> blocks;
  if (!PublishContent(p, done, &map, &blocks)) return false;
  if (WantsMap(p) && !WriteMap(p, &map, &blocks)) return false;
  EstimateDownload(p, p.hasMap ? &map : nullptr, blocks);
  return true;
}

// The map of a published file, read back: it must be well-formed and
// describe exactly the content the list gives that file.
bool ReadMap(const std::string& file, const FileEntry& entry, ChunkMap* map) {
  std::string bytes, why;
  return IsPlainFile(file) && ReadWholeFile(file, kChunkMapLimit, &bytes) &&
         ParseChunkMap(bytes, map, &why) && map->md5 == entry.code && map->fileSize == entry.size;
}

// Whether the blocks file at `file` goes with the map.
bool BlocksFitMap(const std::string& file, const ChunkMap& map) {
  int64_t blocks = 0;
  for (const ChunkEntry& c : map.chunks) blocks += static_cast<int64_t>(BlocksInChunk(c.length));
  std::string header, why;
  return FileSizeOf(file) == kBlockHashesHeaderSize + blocks * kBlockHashSize &&
         ReadFileHead(file, kBlockHashesHeaderSize, &header) &&
         CheckBlockHashesHeader(header, map.md5, &why);
}

bool SameParams(const ChunkParams& a, const ChunkParams& b) {
  return a.minSize == b.minSize && a.averageSize == b.averageSize && a.maxSize == b.maxSize;
}

// The map of an unchanged file and its blocks file, as the previous release
// published them; a map cut with other parameters, or one without a blocks
// file, is built again, so that a release never mixes them.
bool Publisher::ReuseMap(Published& p, ChunkMap* map) {
  const std::string mapPath = DeltaMapPath(p.entry.path);
  const std::string from = o_.previousDir + "/" + mapPath;
  const std::string blocksPath = DeltaBlocksPath(p.entry.path);
  const std::string blocksFrom = o_.previousDir + "/" + blocksPath;
  if (!ReadMap(from, p.entry, map) || !SameParams(map->params, ChunkParams{}) ||
      !BlocksFitMap(blocksFrom, *map) ||
      !LinkOrCopy(from, Staged(mapPath)) || !LinkOrCopy(blocksFrom, Staged(blocksPath))) {
    return false;
  }
  p.hasMap = p.mapReused = true;
  return true;
}

// Cut with the MD5 of the list (the same bytes), or else from the published
// copy, so that the map describes the bytes the server hands out.
bool Publisher::WriteMap(Published& p, ChunkMap* map, std::vector<uint64_t>* blocks) {
  if (p.reused && ReuseMap(p, map)) return true;
  const std::string mapPath = DeltaMapPath(p.entry.path);
  const std::string blocksPath = DeltaBlocksPath(p.entry.path);
  if (!p.mapCut && !BuildChunkMap(Staged(p.entry.path), ChunkParams{}, map, blocks)) {
    return Fail("building the chunk map of " + p.entry.path + " failed");
  }
  if (map->md5 != p.entry.code) return Fail(p.entry.path + " changed while it was published");
  CreateParentFolders(Staged(mapPath));
  if (!WriteFileAtomically(Staged(mapPath), SerializeChunkMap(*map))) {
    return Fail("cannot write " + mapPath);
  }
  if (!WriteFileAtomically(Staged(blocksPath), SerializeBlockHashes(map->md5, *blocks))) {
    return Fail("cannot write " + blocksPath);
  }
  p.hasMap = true;
  return true;
}

// What a launcher holding the previous release's copy fetches, planned as
// it plans it: the map, the entries of the blocks file for the chunks it
// has no chunk of the same length and hash for, and the blocks of those
// that the previous copy does not hold where the chunk's old version lies.
// Past 60 % of the file in missing chunks the launcher takes the whole file
// instead, since many range requests then cost more than they save.
int64_t DeltaDownloadBytes(const ChunkMap& now, const std::vector<uint64_t>& blocks,
                           const ChunkMap& before, const std::string& previousCopy) {
  std::map<std::pair<uint32_t, uint64_t>, int64_t> have;
  int64_t at = 0;
  for (const ChunkEntry& c : before.chunks) {
    have.emplace(std::make_pair(c.length, c.fastHash), at);
    at += c.length;
  }
  const int64_t mapBytes = static_cast<int64_t>(SerializeChunkMap(now).size());
  int64_t missing = mapBytes;
  std::vector<int64_t> local;
  for (const ChunkEntry& c : now.chunks) {
    auto it = have.find({c.length, c.fastHash});
    local.push_back(it == have.end() ? -1 : it->second);
    missing += it == have.end() ? c.length : 0;
  }
  if (missing * 100 > now.fileSize * 60) return now.fileSize;
  const std::vector<MissingRun> runs = FindMissingRuns(now, local, before.fileSize);
  std::vector<size_t> rangeOfRun;
  const int64_t bytes = mapBytes + BytesOf(BlockHashRanges(runs, &rangeOfRun));
  std::vector<std::string> hashes(runs.size());
  for (size_t r = 0; r < runs.size(); ++r) {
    if (rangeOfRun[r] > 0) hashes[r] = RunEntries(blocks, runs[r]);
  }
  FileBlocks old(previousCopy);
  return bytes + FetchedBytes(PlanPieces(now, local, runs, hashes,
                                         [&old](int64_t from, uint32_t n, uint64_t* hash) {
                                           return old.Hash(from, n, hash);
                                         }));
}

void Publisher::EstimateDownload(Published& p, const ChunkMap* map,
                                 const std::vector<uint64_t>& blocks) const {
  if (o_.previousDir.empty()) return;
  auto old = previous_.find(p.entry.path);
  if (old != previous_.end() && old->second.code == p.entry.code) return;
  p.changed = true;
  const bool packed = TaskKindOf(p.entry.zip) == TaskKind::SevenZip;
  p.withoutDelta = p.withDelta = packed ? p.entry.zipSize : p.entry.size;
  ChunkMap before;
  if (map != nullptr && old != previous_.end() &&
      ReadMap(o_.previousDir + "/" + DeltaMapPath(p.entry.path), old->second, &before)) {
    p.withDelta = DeltaDownloadBytes(*map, blocks, before, o_.previousDir + "/" + p.entry.path);
  }
}

// A file known to be published plain before it is read (nothing is packed,
// or its slices do not shrink) gets its map in the same read as its MD5:
// a big file is read once instead of twice. One the previous release has at
// the same size is most likely unchanged and takes the old map instead.
bool Publisher::CutsWhileDigesting(const Published& p, bool mayPack) const {
  return o_.delta && !mayPack && p.entry.size >= o_.deltaMinSize && !LikelyUnchanged(p);
}

bool Publisher::LikelyUnchanged(const Published& p) const {
  auto it = previous_.find(p.entry.path);
  return it != previous_.end() && it->second.size == p.entry.size;
}

void Publisher::JudgeFromSlices(Published& p, bool* mayPack, const std::string& packed) {
  if (!*mayPack || p.entry.size < kSampledFileSize || p.packRatio >= 0) return;
  const double ratio = SampledPackRatio(p.source, p.entry.size, o_.level, TempPathFor(packed));
  p.packRatio = ratio;
  if (ratio * 200 > 200 - o_.packSavingPercent) {
    p.sampled = true;
    *mayPack = false;
  }
}

bool Publisher::PublishContent(Published& p, std::atomic<int64_t>* done, ChunkMap* map,
                               std::vector<uint64_t>* blocks) {
  p.entry.size = FileSizeOf(p.source);
  // A packed copy would take the name of another listed file; a stored
  // archive (level 0) is always bigger than the file.
  bool mayPack =
      o_.level > 0 && p.entry.size >= o_.minPackSize && !listed_.count(p.entry.path + ".7z");
  std::string packed = Staged(p.entry.path + ".7z");
  // Judged before it is read when it is likely new: a file that stays
  // plain is then cut as it is digested.
  if (!LikelyUnchanged(p)) JudgeFromSlices(p, &mayPack, packed);
  if (CutsWhileDigesting(p, mayPack)) {
    p.mapCut = BuildChunkMap(p.source, ChunkParams{}, map, blocks);
    p.entry.code = p.mapCut ? map->md5 : std::string();
  } else {
    p.entry.code = Md5OfFile(p.source);
  }
  if (p.entry.code.empty()) return Fail(p.source + ": cannot be read");
  if (ReuseFile(p, done)) return true;
  JudgeFromSlices(p, &mayPack, packed);
  if (mayPack) {
    std::string why;
    if (!PackSevenZip(packed, {{FileNameOf(p.entry.path), p.source, ""}}, o_.level, done, &why)) {
      return Fail("packing " + p.entry.path + ": " + why);
    }
    int64_t zipSize = FileSizeOf(packed);
    if (p.entry.size > 0) p.packRatio = static_cast<double>(zipSize) / p.entry.size;
    if (zipSize * 100 <= p.entry.size * (100 - o_.packSavingPercent)) {
      p.entry.zip = ZipValueOf(TaskKind::SevenZip);
      p.entry.zipSize = zipSize;
      return true;
    }
    unlink(packed.c_str());
  } else {
    *done += p.entry.size;
  }
  CreateParentFolders(Staged(p.entry.path));
  if (!CopyPlainFile(p.source, Staged(p.entry.path), false)) {
    return Fail("copying " + p.entry.path + " failed");
  }
  return true;
}

// Files in order, the incompressible ones apart in packages of their own.
void Publisher::GroupPackages() {
  Package current;
  int64_t unpacked = 0;
  auto close = [&]() {
    if (current.files.empty()) return;
    std::string base = "data";
    for (int n = static_cast<int>(packages_.size()) + 1;; ++n) {
      current.name = n == 1 ? base + ".7z" : base + std::to_string(n) + ".7z";
      if (!listed_.count(current.name)) break;
    }
    std::vector<const FileEntry*> entries;
    for (size_t i : current.files) entries.push_back(&files_[i].entry);
    current.list = ListDocument(entries, true);
    packages_.push_back(current);
    current = Package();
    unpacked = 0;
  };
  for (const bool incompressible : {false, true}) {
    for (size_t i = 0; i < files_.size(); ++i) {
      const Published& p = files_[i];
      const bool apart = p.entry.size >= kSampledFileSize && p.packRatio >= kIncompressibleRatio;
      if (apart != incompressible) continue;
      const bool full = unpacked + files_[i].entry.size > o_.packageSize ||
                        static_cast<int>(current.files.size()) >= o_.packageFiles;
      if (!current.files.empty() && full) close();
      current.files.push_back(i);
      current.stored = incompressible;
      unpacked += files_[i].entry.size;
    }
    close();
  }
}

bool Publisher::WritePackage(Package& package, std::atomic<int64_t>* done) {
  std::string target = Staged(package.name);
  std::string listName = PackageListPath(FileNameOf(package.name));
  // A first install must find the start-up file list on disk, or its first
  // pass stops and restarts as a full repair. It rides in the first package,
  // outside the package's list: the launcher never records it as a game file.
  bool carriesScope = &package == &packages_.front();
  if (!o_.previousDir.empty()) {
    // The list is the first item, so it is decoded without the rest.
    std::string previous = o_.previousDir + "/" + package.name;
    std::string listed = target + ".previous-list";
    std::string md5;
    Md5Context want;
    want.Update(package.list.data(), package.list.size());
    bool same = IsPlainFile(previous) && ExtractSingleFile(previous, listed, &md5) &&
                md5 == want.HexDigest() &&
                (!carriesScope ||
                 Md5OfFile(o_.previousDir + "/" + kScopeFile) == Md5OfFile(Staged(kScopeFile)));
    unlink(listed.c_str());
    if (same && LinkOrCopy(previous, target)) {
      package.reused = true;
      for (size_t i : package.files) *done += files_[i].entry.size;
      package.size = FileSizeOf(target);
      return true;
    }
  }
  std::vector<PackItem> items = {{listName, "", package.list}};
  for (size_t i : package.files) items.push_back({files_[i].entry.path, files_[i].source, ""});
  if (carriesScope) items.push_back({kScopeFile, Staged(kScopeFile), ""});
  std::string why;
  if (!PackSevenZip(target, items, package.stored ? 0 : o_.level, done, &why)) {
    return Fail("packing " + package.name + ": " + why);
  }
  package.size = FileSizeOf(target);
  return true;
}

bool Publisher::RunJobs(const std::string& stage, size_t count, int64_t totalBytes,
                        const std::function<bool(size_t, std::atomic<int64_t>*)>& job) {
  std::atomic<size_t> next{0};
  std::atomic<int64_t> done{0};
  std::atomic<bool> failed{false};
  std::atomic<int> running{0};
  unsigned n = o_.threads > 0 ? o_.threads : std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::thread> workers;
  for (unsigned t = 0; t < n; ++t) {
    ++running;
    workers.emplace_back([&]() {
      for (size_t i; !failed && (i = next++) < count;) {
        if (!job(i, &done)) failed = true;
      }
      --running;
    });
  }
  while (running > 0) {
    if (progress_) progress_->OnProgress(stage, done, totalBytes);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  for (std::thread& w : workers) w.join();
  if (progress_) progress_->OnProgress(stage, done, totalBytes);
  return !failed;
}

bool Publisher::WriteText(const std::string& relative, const std::string& text) {
  CreateParentFolders(Staged(relative));
  if (!WriteFileAtomically(Staged(relative), text)) return Fail("cannot write " + relative);
  return true;
}

bool Publisher::WriteLists() {
  std::vector<const FileEntry*> entries;
  for (const Published& p : files_) entries.push_back(&p.entry);
  std::string list = ListDocument(entries, false);
  if (!WriteText(kClientList, list)) return false;
  std::string why;
  std::string archive = Staged(kClientListArchive);
  if (!PackSevenZip(archive, {{"client.md5", "", list}}, o_.level, nullptr, &why)) {
    return Fail("packing the file list: " + why);
  }
  std::string index;
  for (const Package& p : packages_) index += p.name + "," + std::to_string(p.size) + "\n";
  if (!WriteText(kFirstDownloadIndex, index)) return false;

  FileEntry clientEntry{kClientList, Md5OfFile(Staged(kClientList)),
                        static_cast<int64_t>(list.size()), 0, FileSizeOf(archive)};
  FileListForm form;
  form.version = o_.version;
  form.zipAttribute = false;
  form.zipSize = ZipSizeAttribute::kAlways;
  return WriteText(kUpdateXml, FileListText({clientEntry}, form));
}

bool Publisher::WriteLauncherFiles() {
  std::vector<FileEntry> entries;
  for (const std::string name : {kUpdateToolName, kLauncherName}) {
    std::string source = Source(name == kLauncherName ? o_.launcherExe : o_.launcherDat, name);
    std::string archive = Staged(kLauncherUpdateFolder + name + ".7z");
    std::string why;
    if (!PackSevenZip(archive, {{name, source, ""}}, o_.level, nullptr, &why)) {
      return Fail(std::string("packing ") + name + ": " + why);
    }
    if (!LinkOrCopy(archive, Staged(kLauncherRepairFolder + name + ".7z"))) {
      return Fail("cannot copy " + name + ".7z");
    }
    entries.push_back(
        FileEntry{name, Md5OfFile(source), FileSizeOf(source), 0, FileSizeOf(archive)});
  }
  FileListForm form;
  form.zipAttribute = false;
  form.zipSize = ZipSizeAttribute::kAlways;
  const std::string out = FileListText(entries, form);
  return WriteText(kLauncherList, out) &&
         WriteText(std::string(kLauncherRepairFolder) + kLauncherListName, out);
}

// Copies an optional input into the release, or writes `fallback` when the
// input does not exist (and was not named explicitly).
bool CopyOrDefault(const std::string& option, const std::string& inGame, const std::string& target,
                   const std::string& fallback, std::vector<std::string>* warnings,
                   std::string* error) {
  std::string source = option.empty() ? inGame : option;
  CreateParentFolders(target);
  if (IsPlainFile(source)) {
    if (CopyPlainFile(source, target, false)) return true;
    *error = "cannot copy " + source;
    return false;
  }
  if (!option.empty()) {
    *error = option + " not found";
    return false;
  }
  warnings->push_back(FileNameOf(target) + ": no " + inGame + ", a default was written");
  if (WriteFileAtomically(target, fallback)) return true;
  *error = "cannot write " + target;
  return false;
}

bool Publisher::WriteSmallFiles() {
  std::string why;
  const InstallLayout game(o_.gameDir + "/");
  bool ok = CopyOrDefault(o_.scopeFile, game.scopeFile(), Staged(kScopeFile), "",
                          &summary_->warnings, &why) &&
            CopyOrDefault(o_.urlXml, game.gameServerList(), Staged(kGameServerList),
                          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<serverlist/>\n",
                          &summary_->warnings, &why) &&
            CopyOrDefault(o_.updateServers, game.serverList(), Staged(kServerList),
                          o_.version + "\n", &summary_->warnings, &why);
  return ok || Fail(why);
}

// Everything the launcher reads before it can judge game files by the
// client list's MD5s gets a line; the game files themselves need none.
bool Publisher::WriteSignature() {
  if (signingKey_.empty()) return true;
  std::vector<std::string> paths = {kServerList, kUpdateXml,          kClientListArchive,
                                    kScopeFile,  kFirstDownloadIndex, kGameServerList};
  for (const char* folder : {kLauncherUpdateFolder, kLauncherRepairFolder}) {
    for (const char* name : {kLauncherListName, kUpdateToolArchiveName, kLauncherArchiveName}) {
      paths.push_back(std::string(folder) + name);
    }
  }
  for (const Package& p : packages_) paths.push_back(p.name);
  // A map steers which bytes of the old copy a launcher keeps. Its blocks
  // file needs no line: every chunk a launcher assembles with its help is
  // checked against the map.
  for (const Published& p : files_) {
    if (p.hasMap) paths.push_back(DeltaMapPath(p.entry.path));
  }
  ReleaseManifest manifest;
  manifest.version = o_.version;
  manifest.serial = serial_;
  for (const std::string& path : paths) {
    SignedFile file;
    if (!platform::Sha256OfFile(Staged(path), &file.sha256, &file.size)) {
      return Fail("cannot read " + path + " to sign it");
    }
    manifest.files[path] = file;
  }
  std::string text, why;
  if (!SignManifest(manifest, signingKey_, &text, &why)) return Fail("signing: " + why);
  summary_->serial = serial_;
  return WriteText(kReleaseSig, text);
}

int64_t FolderBytes(const std::string& folder) {
  int64_t total = 0;
  std::error_code ec;
  for (auto& e : fs::recursive_directory_iterator(folder, ec)) {
    if (e.is_regular_file(ec)) total += static_cast<int64_t>(e.file_size(ec));
  }
  return total;
}

bool Publisher::Run(std::string* error) {
  // A killed publish leaves its staging folder beside the release.
  std::vector<std::string> abandoned;
  RemoveStaleTempFiles(o_.releaseDir, &abandoned);
  for (const std::string& name : abandoned) {
    summary_->warnings.push_back("removed " + name + ", left by an interrupted publish");
  }
  staging_ = TempPathFor(o_.releaseDir);
  bool ok = CheckInputs() && ScanGameFolder();
  if (ok) {
    CreateFolderPath(staging_);
    LoadPrevious();
    for (const Published& p : files_) total_ += FileSizeOf(p.source);
    ok = RunJobs("files", files_.size(), total_, [&](size_t i, std::atomic<int64_t>* done) {
      return PublishFile(files_[i], done);
    });
  }
  ok = ok && WriteSmallFiles();  // the first package carries the scope file
  if (ok) {
    GroupPackages();
    ok = RunJobs("packages", packages_.size(), total_, [&](size_t i, std::atomic<int64_t>* done) {
      return WritePackage(packages_[i], done);
    });
  }
  ok = ok && WriteLists() && WriteLauncherFiles() && WriteSignature();
  if (ok) {
    std::error_code ec;
    fs::remove(o_.releaseDir, ec);  // only an empty folder goes
    fs::rename(staging_, o_.releaseDir, ec);
    if (ec) ok = Fail("cannot rename the release into place: " + ec.message());
  }
  if (!ok) {
    std::error_code ec;
    fs::remove_all(staging_, ec);
    *error = error_;
    return false;
  }
  Summarize();
  return true;
}

void Publisher::Summarize() {
  PublishSummary& s = *summary_;
  for (const Published& p : files_) {
    s.files++;
    s.packedFiles += TaskKindOf(p.entry.zip) == TaskKind::SevenZip;
    s.reusedFiles += p.reused;
    s.sampledFiles += p.sampled;
    s.gameBytes += p.entry.size;
    s.deltaMaps += p.hasMap;
    s.reusedDeltaMaps += p.mapReused;
    if (!p.changed) continue;
    s.changed.push_back({p.entry.path, p.withoutDelta, p.withDelta});
    s.changedWithoutDelta += p.withoutDelta;
    s.changedWithDelta += p.withDelta;
  }
  std::sort(s.changed.begin(), s.changed.end(), [](const ChangedFile& a, const ChangedFile& b) {
    return a.withoutDelta != b.withoutDelta ? a.withoutDelta > b.withoutDelta : a.path < b.path;
  });
  s.comparedToPrevious = !o_.previousDir.empty();
  for (const Package& p : packages_) {
    s.packages++;
    s.reusedPackages += p.reused;
  }
  s.releaseBytes = FolderBytes(o_.releaseDir);
}

}  // namespace

std::vector<std::string> DeltaReport(const PublishSummary& s, size_t maxFiles) {
  std::vector<std::string> lines;
  if (!s.comparedToPrevious) return lines;
  const size_t shown = std::min(maxFiles, s.changed.size());
  for (size_t i = 0; i < shown; ++i) {
    const ChangedFile& c = s.changed[i];
    lines.push_back("changed:  " + c.path + ": " + FormatSizeText(c.withoutDelta) + ", " +
                    FormatSizeText(c.withDelta) + " with deltas");
  }
  if (shown < s.changed.size()) {
    lines.push_back("changed:  and " + std::to_string(s.changed.size() - shown) + " more");
  }
  const int64_t percent =
      s.changedWithoutDelta > 0 ? s.changedWithDelta * 100 / s.changedWithoutDelta : 100;
  lines.push_back(
      "download: " + std::to_string(s.changed.size()) +
      " changed files from the previous release: " + FormatSizeText(s.changedWithoutDelta) +
      " without deltas, " + FormatSizeText(s.changedWithDelta) + " with deltas (" +
      std::to_string(percent) + " %)");
  return lines;
}

bool Publish(const PublishOptions& options, PublishSummary* summary, PublishProgress* progress,
             std::string* error) {
  PublishSummary ignored;
  std::string why;
  PublishOptions normalized = options;
  for (std::string* dir : {&normalized.gameDir, &normalized.releaseDir, &normalized.previousDir}) {
    while (dir->size() > 1 && dir->back() == '/') dir->pop_back();
  }
  Publisher publisher(normalized, summary ? summary : &ignored, progress);
  return publisher.Run(error ? error : &why);
}
