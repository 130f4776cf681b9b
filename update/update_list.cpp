#include "update/update_list.h"

#include <cinttypes>

#include "diag/log.h"
#include "update/archive.h"
#include "update/file_fetcher.h"
#include "update/file_list.h"
#include "update/install_state.h"
#include "update/md5.h"
#include "update/mirror_set.h"
#include "update/release_layout.h"
#include "update/release_sig.h"
#include "update/release_trust.h"
#include "update/self_update.h"
#include "util/file_util.h"
#include "util/text_util.h"

UpdateListStep::UpdateListStep(Installation* state, FileFetcher* fetcher,
                               SelfUpdateStep* selfUpdate)
    : state_(*state), fetcher_(*fetcher), selfUpdate_(*selfUpdate) {}

UpdateStatus UpdateListStep::FetchReleaseSignature() {
  ReleaseTrust& trust = state_.trust();
  if (!trust.enabled()) return Status_Ready;
  trust.Clear();
  // A plain file of the update folder's name would block the folder.
  RemoveFileIfPresent(state_.layout().updateArea());
  const std::string local = state_.layout().InUpdateArea("release.sig");
  CreateParentFolders(local);
  RemoveFileIfPresent(local);
  TransferResult r = fetcher_.DownloadFile(
      fetcher_.releaseBaseUrl() + release_layout::kReleaseSig + AnsiToWide(TimeStampQuery()), local,
      nullptr, kSmallFileLimit);
  if (r == Transfer_Stopped) return Status_Cancelled;
  if (r != Transfer_Complete) {
    WriteLogTag("Error", "Can Not Download release.sig, A Signed Release Is Required");
    return Status_UpdateListInvalid;
  }
  std::string why;
  if (!trust.AcceptFile(local, &why)) {
    WriteLogTag("Error", "release.sig Refused: %s", why.c_str());
    RemoveFileIfPresent(local);
    return Status_UpdateListInvalid;
  }
  WriteLog("release.sig Verified: Version %s, Serial %" PRIu64, trust.version().c_str(),
           trust.serial());
  return Status_Ready;
}

UpdateStatus UpdateListStep::GetUpdateList() {
  WriteLog("Start Get UpdateList");
  const std::string fetched = state_.layout().InUpdateArea("UpdateServers.qdx");
  const std::string installed = state_.layout().serverList();
  const std::string url =
      fetcher_.releaseBaseUrl() + release_layout::kServerList + AnsiToWide(TimeStampQuery());

  // A plain file of the update folder's name would block the folder.
  RemoveFileIfPresent(state_.layout().updateArea());
  if (!CreateFolderPath(state_.layout().updateArea())) {
    CreateFolderPath(state_.layout().Path("scope"));
  }
  RemoveFileIfPresent(fetched);
  if (fetcher_.DownloadFile(url, fetched, nullptr, kSmallFileLimit) == Transfer_Complete) {
    if (!state_.CheckReleaseFile(release_layout::kServerList, fetched)) {
      return Status_UpdateListInvalid;
    }
    if (ReadFirstLine(fetched) != ReadFirstLine(installed)) {
      CopyPlainFile(fetched, installed, false);
    }
  }
  return state_.GetUpdateMode() == UpdateMode::VerifyFiles ? CheckUpdateListVerify()
                                                           : CheckUpdateList();
}

// Fetches and reads update.xml; on success fills *expectedCode and returns
// Status_Ready, else the status to report.
UpdateStatus UpdateListStep::ReadUpdateXml(bool verify, std::string* expectedCode) {
  const std::string listFile = state_.layout().InUpdateArea("update.xml");
  RemoveFileIfPresent(listFile);
  std::string url = fetcher_.releaseBaseUrl() + release_layout::kUpdateXml;
  if (verify) url += AnsiToWide(TimeStampQuery());
  TransferResult r = fetcher_.DownloadFile(url, listFile, nullptr, kSmallFileLimit);
  if (r == Transfer_Stopped) return Status_Cancelled;
  if (r != Transfer_Complete) {
    WriteLogTag("Error", "Can Not Download UpdateList");
    return Status_UpdateListDownloadFailed;
  }
  if (!state_.CheckReleaseFile(release_layout::kUpdateXml, listFile))
    return Status_UpdateListInvalid;
  FileList list;
  if (!ReadFileList(WideToOem(listFile), kSmallFileLimit, &list)) {
    WriteLogTag("Error", "Can Not Open update.xml");
    if (!verify) WriteLog("%s", listFile.c_str());
    return Status_UpdateListInvalid;
  }
  if (!list.hasRoot) {
    WriteLogTag("Error", "update.xml Node [root] Error");
    return Status_UpdateListInvalid;
  }
  if (!list.hasFiles) {
    WriteLogTag("Error", "update.xml Node [version] Error");
    return Status_UpdateListInvalid;
  }
  // A list without a version keeps the stored one rather than blanking it.
  if (!list.version.empty()) {
    serverVersion_ = AnsiToWide(list.version);
    state_.SetClientVersion(serverVersion_);
  }
  // The last entry's code is the MD5 the unpacked client list must have.
  expectedCode->clear();
  if (!list.entries.empty()) *expectedCode = list.entries.back().code;
  AdmitOtherAddresses(*expectedCode);
  return Status_Ready;
}

void UpdateListStep::AdmitOtherAddresses(const std::string& expectedCode) {
  MirrorSet& mirrors = fetcher_.Mirrors();
  for (size_t i = 0; i < mirrors.Count(); ++i) {
    if (i == mirrors.Primary()) continue;
    std::string why;
    if (SameRelease(mirrors.Address(i), expectedCode, &why)) {
      mirrors.Admit(i);
    } else {
      mirrors.Skip(i, why);
    }
  }
}

// The same address a player's request uses, so that a cache that still
// holds the previous update.xml is caught.
bool UpdateListStep::SameRelease(const std::string& base, const std::string& expectedCode,
                                 std::string* why) {
  const std::string local = state_.layout().InUpdateArea("update.xml.other");
  RemoveFileIfPresent(local);
  FileList list;
  const bool read = fetcher_.DownloadFileOnce(base + release_layout::kUpdateXml, local, nullptr,
                                              kSmallFileLimit) == Transfer_Complete &&
                    ReadFileList(local, kSmallFileLimit, &list) && !list.entries.empty();
  RemoveFileIfPresent(local);
  if (!read) {
    *why = "its update.xml cannot be read";
    return false;
  }
  if (list.entries.back().code != expectedCode) {
    *why = "it announces client list " + list.entries.back().code + ", not " + expectedCode;
    return false;
  }
  return !state_.SignedReleases() || SameSerial(base, why);
}

bool UpdateListStep::SameSerial(const std::string& base, std::string* why) {
  const std::string local = state_.layout().InUpdateArea("release.sig.other");
  RemoveFileIfPresent(local);
  std::string text;
  ReleaseManifest manifest;
  std::string error;
  const bool read = fetcher_.DownloadFileOnce(base + release_layout::kReleaseSig, local, nullptr,
                                              kSmallFileLimit) == Transfer_Complete &&
                    ReadWholeFile(local, kSmallFileLimit, &text) &&
                    ParseManifest(text, &manifest, &error);
  RemoveFileIfPresent(local);
  if (!read) {
    *why = "its release.sig cannot be read";
    return false;
  }
  if (manifest.serial != state_.trust().serial()) {
    *why = "its release.sig has serial " + std::to_string(manifest.serial) + ", not " +
           std::to_string(state_.trust().serial());
    return false;
  }
  return true;
}

// Unpacks client.md5.7z into LauncherConfig/ and checks the result.
UpdateStatus UpdateListStep::UnpackClientList(const std::string& archive,
                                              const std::string& expected,
                                              const char* mismatchLine) {
  std::string md5;
  if (!ExtractToFolder(archive, state_.layout().configFolder() + "/", &md5, kClientListLimit)) {
    RemoveFileIfPresent(archive);
    return Status_UnzipFailed;
  }
  if (CheckFileMD5(expected, state_.layout().clientList())) return Status_Ready;
  WriteLogTag("Error", "%s", mismatchLine);
  return Status_ClientListFailed;
}

UpdateStatus UpdateListStep::ReadVersionAndSelfUpdate(bool verify, std::string* expectedCode) {
  UpdateStatus r = ReadUpdateXml(verify, expectedCode);
  return r == Status_Ready ? selfUpdate_.RunSelfUpdate(verify) : r;
}

UpdateStatus UpdateListStep::CheckUpdateList() {
  std::string expected;
  UpdateStatus r = ReadVersionAndSelfUpdate(false, &expected);
  if (r != Status_Ready) return r;

  const std::string clientList = state_.layout().clientList();
  std::string current = Md5OfFile(clientList);
  WriteLog("The old Client Md5 Is %s, new Md5 Is %s", current.c_str(), expected.c_str());
  if (current == expected) {
    WriteLog("Client Is Newest");
    return Status_Ready;
  }
  const std::string archive = clientList + ".7z";
  RemoveFileIfPresent(archive);
  TransferResult fetched =
      fetcher_.DownloadFile(fetcher_.releaseBaseUrl() + release_layout::kClientListArchive, archive,
                            nullptr, kClientListLimit);
  if (fetched == Transfer_Failed) return Status_ClientListFailed;
  if (fetched == Transfer_Stopped) return Status_Cancelled;
  if (!state_.CheckReleaseFile(release_layout::kClientListArchive, archive))
    return Status_ClientListFailed;
  return UnpackClientList(archive, expected, "client.zip MD5 Error!");
}

UpdateStatus UpdateListStep::CheckUpdateListVerify() {
  if (!state_.IsScopeExist()) {
    const std::string scope = state_.layout().scopeFile();
    const TransferResult got = fetcher_.DownloadFile(
        fetcher_.releaseBaseUrl() + release_layout::kScopeFile + AnsiToWide(TimeStampQuery()),
        scope, nullptr, kSmallFileLimit);
    // A part left by a failed transfer cannot be the signed file.
    if (got != Transfer_Complete && state_.SignedReleases()) RemoveFileIfPresent(scope);
    if (got == Transfer_Complete && !state_.CheckReleaseFile(release_layout::kScopeFile, scope)) {
      return Status_UpdateListInvalid;
    }
    state_.SetUpdateMode(UpdateMode::Normal);
  }
  std::string expected;
  UpdateStatus r = ReadVersionAndSelfUpdate(true, &expected);
  if (r != Status_Ready) return r;

  const std::string clientList = state_.layout().clientList();
  const std::string archive = clientList + ".7z";
  RemoveFileIfPresent(clientList);
  RemoveFileIfPresent(archive);
  TransferResult fetched =
      fetcher_.DownloadFile(fetcher_.releaseBaseUrl() + release_layout::kClientListArchive, archive,
                            nullptr, kClientListLimit);
  if (fetched == Transfer_Stopped) return Status_Cancelled;
  // The unpacker never sees what a failed transfer left of a signed list.
  if (fetched != Transfer_Complete && state_.SignedReleases()) return Status_ClientListFailed;
  if (!state_.CheckReleaseFile(release_layout::kClientListArchive, archive))
    return Status_ClientListFailed;
  return UnpackClientList(archive, expected, "client.7z MD5 Error!");
}
