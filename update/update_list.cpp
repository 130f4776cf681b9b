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
#include "update/release_url.h"
#include "util/file_util.h"
#include "util/text_util.h"

std::string clientVersion;

void LoadLaunchConf(const std::string& folder) {
  LoadReleaseBaseUrl();
  clientVersion.clear();
  pugi::xml_document doc;
  if (!doc.load_file((folder + "Launch.conf").c_str())) return;
  pugi::xml_node text = doc.child("info").child("client_ver").first_child();
  if (text.type() == pugi::node_pcdata) clientVersion = Utf8ToWide(text.value());
}

bool SaveLaunchConf(const std::string& folder) {
  pugi::xml_document doc;
  pugi::xml_node decl = doc.append_child(pugi::node_declaration);
  decl.append_attribute("version") = "1.0";
  decl.append_attribute("encoding") = "UTF-8";
  doc.append_child("info").append_child("client_ver").text().set(WideToUtf8(clientVersion).c_str());
  std::ostringstream out;
  doc.save(out, "    ");
  return WriteFileAtomically(folder + "Launch.conf", out.str());
}

void SetClientVersion(const std::string& folder, const std::string& v) {
  if (v == clientVersion) return;
  clientVersion = v;
  SaveLaunchConf(folder);
}

std::string CVXDlownloader::GetFileMD5(const std::string& path) {
  return Md5OfFile(path);
}

void CVXDlownloader::GetUpdateToolMD5() {
  launcherToolMD5 = '0';
  launcherToolMD5 = GetFileMD5(installDir() + "Launcher.dat");
}

int CVXDlownloader::GetUpdateList() {
  WriteLog("Start Get UpdateList");
  const std::string fetched = installDir() + "LauncherConfig/update/UpdateServers.qdx";
  const std::string installed = installDir() + "LauncherConfig/UpdateServers.qdx";
  const std::string url =
      releaseBaseUrl + "LauncherConfig/UpdateServers.qdx" + AnsiToWide(TimeStampQuery());

  // A plain file of the update folder's name would block the folder.
  RemoveFileIfPresent(installDir() + "LauncherConfig/update");
  if (!CreateFolderPath(installDir() + "LauncherConfig/update")) {
    CreateFolderPath(installDir() + "scope");
  }
  RemoveFileIfPresent(fetched);
  if (DownloadFile(url, fetched, nullptr, kSmallFileLimit) == Transfer_Complete &&
      ReadFirstLine(fetched) != ReadFirstLine(installed)) {
    CopyPlainFile(fetched, installed, false);
  }
  return updateMode.load() == VerifyFiles ? CheckUpdateListVerify() : CheckUpdateList();
}

// Fetches and reads update.xml; on success fills *expectedCode and returns
// Status_Ready, else the status to report.
int CVXDlownloader::ReadUpdateXml(bool verify, std::string* expectedCode) {
  const std::string listFile = installDir() + "LauncherConfig/update/update.xml";
  RemoveFileIfPresent(listFile);
  std::string url = releaseBaseUrl + "LauncherConfig/update.xml";
  if (verify) url += AnsiToWide(TimeStampQuery());
  int r = DownloadFile(url, listFile, nullptr, kSmallFileLimit);
  if (r == Transfer_Stopped) return Status_Cancelled;
  if (r != Transfer_Complete) {
    WriteLogTag("Error", "Can Not Download UpdateList");
    return Status_UpdateListDownloadFailed;
  }
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
    serverVersion = AnsiToWide(list.version);
    SetClientVersion(installDir(), serverVersion);
  }
  // The last entry's code is the MD5 the unpacked client list must have.
  expectedCode->clear();
  if (!list.entries.empty()) *expectedCode = list.entries.back().code;
  return Status_Ready;
}

// Unpacks client.md5.7z into LauncherConfig/ and checks the result.
int CVXDlownloader::UnpackClientList(const std::string& archive, const std::string& expected,
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

int CVXDlownloader::ReadVersionAndSelfUpdate(bool verify, std::string* expectedCode) {
  int r = ReadUpdateXml(verify, expectedCode);
  return r == Status_Ready ? RunSelfUpdate(verify) : r;
}

int CVXDlownloader::CheckUpdateList() {
  std::string expected;
  int r = ReadVersionAndSelfUpdate(false, &expected);
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
  r = DownloadFile(releaseBaseUrl + "LauncherConfig/client.md5.7z", archive, nullptr,
                   kClientListLimit);
  if (r == Transfer_Failed) return Status_ClientListFailed;
  if (r == Transfer_Stopped) return Status_Cancelled;
  return UnpackClientList(archive, expected, "client.zip MD5 Error!");
}

int CVXDlownloader::CheckUpdateListVerify() {
  if (!IsScopeExist()) {
    DownloadFile(releaseBaseUrl + "scope/login.scope" + AnsiToWide(TimeStampQuery()),
                 installDir() + "scope/login.scope", nullptr, kSmallFileLimit);
    SetUpdateMode(Normal);
  }
  std::string expected;
  int r = ReadVersionAndSelfUpdate(true, &expected);
  if (r != Status_Ready) return r;

  const std::string clientList = installDir() + "LauncherConfig/client.md5";
  const std::string archive = clientList + ".7z";
  RemoveFileIfPresent(clientList);
  RemoveFileIfPresent(archive);
  r = DownloadFile(releaseBaseUrl + "LauncherConfig/client.md5.7z", archive, nullptr,
                   kClientListLimit);
  if (r == Transfer_Stopped) return Status_Cancelled;
  return UnpackClientList(archive, expected, "client.7z MD5 Error!");
}
