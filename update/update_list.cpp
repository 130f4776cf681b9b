// The update-list step: mirrors the server list file, reads update.xml,
// stores the release version, runs the self-update and makes sure the local
// copy of the published file list belongs to the current release.
#include "update/update_list.h"

#include <pugixml.hpp>
#include <sstream>

#include "diag/log.h"
#include "update/archive.h"
#include "update/downloader.h"
#include "update/engine_files.h"
#include "update/file_list.h"
#include "update/md5.h"
#include "util/file_util.h"
#include "util/text_util.h"

std::string ReadLaunchConf(const std::string& folder) {
  pugi::xml_document doc;
  if (!doc.load_file((folder + "Launch.conf").c_str())) return std::string();
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

void CVXDlownloader::LoadLaunchConf() {
  std::lock_guard<std::mutex> hold(versionLock_);
  clientVersion_ = ReadLaunchConf(installDir());
}

std::string CVXDlownloader::clientVersion() const {
  std::lock_guard<std::mutex> hold(versionLock_);
  return clientVersion_;
}

void CVXDlownloader::SetClientVersion(const std::string& version) {
  {
    std::lock_guard<std::mutex> hold(versionLock_);
    if (version == clientVersion_) return;
    clientVersion_ = version;
  }
  WriteLaunchConf(installDir(), version);
}

std::string CVXDlownloader::GetFileMD5(const std::string& path) {
  return Md5OfFile(path);
}

void CVXDlownloader::GetUpdateToolMD5() {
  launcherToolMD5_ = GetFileMD5(installDir() + "Launcher.dat");
}

UpdateStatus CVXDlownloader::GetUpdateList() {
  WriteLog("Start Get UpdateList");
  const std::string fetched = installDir() + "LauncherConfig/update/UpdateServers.qdx";
  const std::string installed = installDir() + "LauncherConfig/UpdateServers.qdx";
  const std::string url =
      releaseBaseUrl_ + "LauncherConfig/UpdateServers.qdx" + AnsiToWide(TimeStampQuery());

  // A plain file of the update folder's name would block the folder.
  RemoveFileIfPresent(installDir() + "LauncherConfig/update");
  if (!CreateFolderPath(installDir() + "LauncherConfig/update")) {
    CreateFolderPath(installDir() + "scope");
  }
  RemoveFileIfPresent(fetched);
  if (DownloadFile(url, fetched, nullptr, kSmallFileLimit) == Transfer_Complete) {
    if (!CheckReleaseFile("LauncherConfig/UpdateServers.qdx", fetched)) {
      return Status_UpdateListInvalid;
    }
    if (ReadFirstLine(fetched) != ReadFirstLine(installed)) {
      CopyPlainFile(fetched, installed, false);
    }
  }
  return GetUpdateMode() == VerifyFiles ? CheckUpdateListVerify() : CheckUpdateList();
}

// Fetches and reads update.xml; on success fills *expectedCode and returns
// Status_Ready, else the status to report.
UpdateStatus CVXDlownloader::ReadUpdateXml(bool verify, std::string* expectedCode) {
  const std::string listFile = installDir() + "LauncherConfig/update/update.xml";
  RemoveFileIfPresent(listFile);
  std::string url = releaseBaseUrl_ + "LauncherConfig/update.xml";
  if (verify) url += AnsiToWide(TimeStampQuery());
  TransferResult r = DownloadFile(url, listFile, nullptr, kSmallFileLimit);
  if (r == Transfer_Stopped) return Status_Cancelled;
  if (r != Transfer_Complete) {
    WriteLogTag("Error", "Can Not Download UpdateList");
    return Status_UpdateListDownloadFailed;
  }
  if (!CheckReleaseFile("LauncherConfig/update.xml", listFile)) return Status_UpdateListInvalid;
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
    SetClientVersion(serverVersion_);
  }
  // The last entry's code is the MD5 the unpacked client list must have.
  expectedCode->clear();
  if (!list.entries.empty()) *expectedCode = list.entries.back().code;
  return Status_Ready;
}

// Unpacks client.md5.7z into LauncherConfig/ and checks the result.
UpdateStatus CVXDlownloader::UnpackClientList(const std::string& archive,
                                              const std::string& expected,
                                              const char* mismatchLine) {
  std::string md5;
  if (!ExtractToFolder(archive, installDir() + "LauncherConfig/", &md5, kClientListLimit)) {
    RemoveFileIfPresent(archive);
    return Status_UnzipFailed;
  }
  if (CheckFileMD5(expected, installDir() + "LauncherConfig/client.md5")) return Status_Ready;
  WriteLogTag("Error", "%s", mismatchLine);
  return Status_ClientListFailed;
}

UpdateStatus CVXDlownloader::ReadVersionAndSelfUpdate(bool verify, std::string* expectedCode) {
  UpdateStatus r = ReadUpdateXml(verify, expectedCode);
  return r == Status_Ready ? RunSelfUpdate(verify) : r;
}

UpdateStatus CVXDlownloader::CheckUpdateList() {
  std::string expected;
  UpdateStatus r = ReadVersionAndSelfUpdate(false, &expected);
  if (r != Status_Ready) return r;

  const std::string clientList = installDir() + "LauncherConfig/client.md5";
  std::string current = GetFileMD5(clientList);
  WriteLog("The old Client Md5 Is %s, new Md5 Is %s", current.c_str(), expected.c_str());
  if (current == expected) {
    WriteLog("Client Is Newest");
    return Status_Ready;
  }
  const std::string archive = clientList + ".7z";
  RemoveFileIfPresent(archive);
  TransferResult fetched = DownloadFile(releaseBaseUrl_ + "LauncherConfig/client.md5.7z", archive,
                                        nullptr, kClientListLimit);
  if (fetched == Transfer_Failed) return Status_ClientListFailed;
  if (fetched == Transfer_Stopped) return Status_Cancelled;
  if (!CheckReleaseFile("LauncherConfig/client.md5.7z", archive)) return Status_ClientListFailed;
  return UnpackClientList(archive, expected, "client.zip MD5 Error!");
}

UpdateStatus CVXDlownloader::CheckUpdateListVerify() {
  if (!IsScopeExist()) {
    const std::string scope = installDir() + "scope/login.scope";
    const TransferResult got =
        DownloadFile(releaseBaseUrl_ + "scope/login.scope" + AnsiToWide(TimeStampQuery()), scope,
                     nullptr, kSmallFileLimit);
    // A part left by a failed transfer cannot be the signed file.
    if (got != Transfer_Complete && SignedReleases()) RemoveFileIfPresent(scope);
    if (got == Transfer_Complete && !CheckReleaseFile("scope/login.scope", scope)) {
      return Status_UpdateListInvalid;
    }
    SetUpdateMode(Normal);
  }
  std::string expected;
  UpdateStatus r = ReadVersionAndSelfUpdate(true, &expected);
  if (r != Status_Ready) return r;

  const std::string clientList = installDir() + "LauncherConfig/client.md5";
  const std::string archive = clientList + ".7z";
  RemoveFileIfPresent(clientList);
  RemoveFileIfPresent(archive);
  TransferResult fetched = DownloadFile(releaseBaseUrl_ + "LauncherConfig/client.md5.7z", archive,
                                        nullptr, kClientListLimit);
  if (fetched == Transfer_Stopped) return Status_Cancelled;
  // The unpacker never sees what a failed transfer left of a signed list.
  if (fetched != Transfer_Complete && SignedReleases()) return Status_ClientListFailed;
  if (!CheckReleaseFile("LauncherConfig/client.md5.7z", archive)) return Status_ClientListFailed;
  return UnpackClientList(archive, expected, "client.7z MD5 Error!");
}
