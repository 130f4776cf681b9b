#include "update/install_state.h"

#include <algorithm>
#include <cstdio>
#include <pugixml.hpp>
#include <sstream>

#include "diag/log.h"
#include "update/local_list.h"
#include "update/release_trust.h"
#include "util/file_util.h"
#include "util/text_util.h"

Installation::Installation(std::string folder)
    : layout_(std::move(folder)),
      localList_(std::make_unique<LocalList>()),
      trust_(std::make_unique<ReleaseTrust>(layout_.root(), BuiltInReleaseKeys())) {}

Installation::~Installation() = default;

void Installation::SetUpdateMode(UpdateMode mode) {
  updateMode_.store(mode >= UpdateMode::Normal && mode <= UpdateMode::FullDownload
                        ? mode
                        : UpdateMode::VerifyFiles);
}

// ---- Launch.conf ----

std::string ReadLaunchConf(const std::string& folder) {
  pugi::xml_document doc;
  // Read back exactly what WriteLaunchConf wrote: a version of blanks or
  // with line breaks (update.xml may carry them as character references) is
  // kept as it was, not dropped or normalised.
  const unsigned options = (pugi::parse_default | pugi::parse_ws_pcdata) & ~pugi::parse_eol;
  if (!doc.load_file((folder + "Launch.conf").c_str(), options)) return std::string();
  pugi::xml_node text = doc.child("info").child("client_ver").first_child();
  return text.type() == pugi::node_pcdata ? Utf8ToWide(text.value()) : std::string();
}

bool WriteLaunchConf(const std::string& folder, const std::string& version) {
  pugi::xml_document doc;
  pugi::xml_node decl = doc.append_child(pugi::node_declaration);
  decl.append_attribute("version") = "1.0";
  decl.append_attribute("encoding") = "UTF-8";
  doc.append_child("info").append_child("client_ver").text().set(WideToUtf8(version).c_str());
  std::ostringstream out;
  doc.save(out, "    ");
  return WriteFileAtomically(folder + "Launch.conf", out.str());
}

void Installation::LoadLaunchConf() {
  std::lock_guard<std::mutex> hold(versionLock_);
  clientVersion_ = ReadLaunchConf(installDir());
}

std::string Installation::clientVersion() const {
  std::lock_guard<std::mutex> hold(versionLock_);
  return clientVersion_;
}

void Installation::SetClientVersion(const std::string& version) {
  {
    std::lock_guard<std::mutex> hold(versionLock_);
    if (version == clientVersion_) return;
    clientVersion_ = version;
  }
  WriteLaunchConf(installDir(), version);
}

// ---- The local list ----

bool Installation::OpenLocalList() {
  if (localListOpened_) return true;
  WriteLog("Start OpenLocalList  ");
  const std::string path = layout_.localList();
  RemoveStaleTempFiles(path);
  if (localList_->Load(path)) {
    localListOpened_ = true;
    return true;
  }
  if (FileExists(path)) {
    // Keep a damaged list for diagnosis instead of writing over it.
    const std::string kept = path + ".bad";
    rename(path.c_str(), kept.c_str());
    WriteLogTag("Error", "Local list %s is damaged, kept as %s", path.c_str(), kept.c_str());
  }
  // The empty list stays in memory until the step that fills it saves it.
  // Saved at once, it would survive a first download killed part way and
  // make the next start take the installation for complete.
  CreateFolderPath(GetParentFolder(path));
  localList_->CreateEmpty(path);
  localListOpened_ = true;
  return true;
}

bool Installation::RecordFileInLocalList(const FileEntry& entry) {
  std::string key = entry.path;
  const std::string& folder = installDir();
  if (!folder.empty() && key.find(folder) != std::string::npos) {
    key = key.substr(key.find(folder) + folder.size());
  }
  std::replace(key.begin(), key.end(), '\\', '/');
  localList_->Record(WideToOem(key), entry);
  return true;
}

bool Installation::RecordFileInLocalList(const DownloadTask& task) {
  FileEntry entry;
  entry.path = task.targetPath;
  entry.code = task.code;
  entry.size = task.size;
  entry.zip = ZipValueOf(task.TaskKind);
  entry.zipSize = task.zipSize;
  return RecordFileInLocalList(entry);
}

bool Installation::RemoveLocalList(const std::string& path) {
  int removed = localList_->Remove(path);
  if (removed < 0) return false;
  for (int i = 0; i < removed; ++i) {
    WriteLog("Remove LocalList !");
    WriteLog("%s", AnsiToWide(path).c_str());
  }
  return true;
}

bool Installation::ForgetLocalListEntry(const std::string& key) {
  if (!localList_->Contains(key)) return false;
  RemoveLocalList(key);
  localList_->Forget(key);
  return true;
}

bool Installation::WriteLocalClient() {
  bool ok = localList_->Save();
  WriteLog(ok ? "Write localclient success!" : "Write localclient faile!");
  return ok;
}

namespace {
bool CanRead(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  fclose(f);
  return true;
}
}  // namespace

UpdateStatus Installation::IsFirstLogin() {
  if (CanRead(layout_.localList())) {
    WriteLog("Is Not First Login ");
    return Status_Ready;
  }
  WriteLog("First Login ");
  return Status_FirstLogin;
}

bool Installation::IsScopeExist() {
  if (CanRead(layout_.scopeFile())) {
    WriteLog("Scope Exist");
    return true;
  }
  WriteLog("Scope Lost");
  return false;
}

// ---- The first installation ----

bool Installation::IsFirstInstallUnfinished() const {
  return FileExists(layout_.installUnfinished());
}

void Installation::MarkFirstInstallUnfinished(bool unfinished) {
  const std::string marker = layout_.installUnfinished();
  if (!unfinished) {
    RemoveFileIfPresent(marker);
    return;
  }
  CreateParentFolders(marker);
  WriteFileAtomically(marker, "The first installation of this folder has not finished.\n");
}

// ---- Signed releases ----

void Installation::SetTrustedKeys(std::vector<std::string> keys) {
  trust_ = std::make_unique<ReleaseTrust>(installDir(), std::move(keys));
}

bool Installation::SignedReleases() const {
  return trust_->enabled();
}

bool Installation::CheckFetchedReleaseFile(const std::string& relative,
                                           const std::string& localPath,
                                           const std::string& sha256) {
  std::string why;
  if (trust_->CheckFile(relative, localPath, sha256, &why)) return true;
  WriteLogTag("Error", "%s Refused, It Does Not Match release.sig: %s", relative.c_str(),
              why.c_str());
  RemoveFileIfPresent(localPath);
  return false;
}
