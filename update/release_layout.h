// Where a release keeps its files, relative to the release folder on the
// server: the names the launcher fetches and the publisher writes. An
// installation mirrors the metadata under the same relative names
// (install_layout.h builds the full paths).
//
// Thread-safety: constants and pure functions only.
#pragma once

#include <string>

namespace release_layout {

inline constexpr const char* kConfigFolder = "LauncherConfig";
inline constexpr const char* kUpdateXml = "LauncherConfig/update.xml";
inline constexpr const char* kClientList = "LauncherConfig/client.md5";
inline constexpr const char* kClientListArchive = "LauncherConfig/client.md5.7z";
inline constexpr const char* kServerList = "LauncherConfig/UpdateServers.qdx";
inline constexpr const char* kReleaseSig = "LauncherConfig/release.sig";
inline constexpr const char* kFirstDownloadIndex = "LauncherConfig/update/firstdownload";
inline constexpr const char* kScopeFile = "scope/login.scope";
// The launcher's own files: the normal update's folder and the repair's.
inline constexpr const char* kLauncherUpdateFolder = "ZEPLauncherUpdate/";
inline constexpr const char* kLauncherRepairFolder = "LauncherUpdate/";
inline constexpr const char* kLauncherList = "ZEPLauncherUpdate/LaunUpdate.xml";
inline constexpr const char* kLauncherArchive = "ZEPLauncherUpdate/Launcher.exe.7z";
inline constexpr const char* kUpdateToolArchiveName = "Launcher.dat.7z";
// The names inside those folders, and of the programs the archives hold.
inline constexpr const char* kLauncherListName = "LaunUpdate.xml";
inline constexpr const char* kLauncherArchiveName = "Launcher.exe.7z";
inline constexpr const char* kLauncherName = "Launcher.exe";
inline constexpr const char* kUpdateToolName = "Launcher.dat";
// The game client's server list, beside the release's other files.
inline constexpr const char* kGameServerList = "url.xml";
// The chunk maps of big plain game files, for delta updates.
inline constexpr const char* kDeltaFolder = "LauncherConfig/delta/";
// Where first-download packages carry their file lists.
inline constexpr const char* kPackageListFolder = "LauncherConfig/update/";

// The file list of a first-download package: "LauncherConfig/update/<name>.md5"
// for the package file name `packageName` (no folder).
inline std::string PackageListPath(const std::string& packageName) {
  return kPackageListFolder + packageName + ".md5";
}

// The chunk map of the game file at `path` (its "Path" in the client list).
inline constexpr const char* kDeltaMapSuffix = ".map";
inline constexpr const char* kDeltaBlocksSuffix = ".blocks";
inline std::string DeltaMapPath(const std::string& path) {
  return kDeltaFolder + path + kDeltaMapSuffix;
}
// The hashes of its 4 KiB blocks, beside the map.
inline std::string DeltaBlocksPath(const std::string& path) {
  return kDeltaFolder + path + kDeltaBlocksSuffix;
}
// The blocks file beside the map at `mapPathOrUrl` (a path DeltaMapPath
// made, or a URL ending in one); "" for anything else.
inline std::string DeltaBlocksBesideMap(const std::string& mapPathOrUrl) {
  const std::string suffix = kDeltaMapSuffix;
  const size_t stem = mapPathOrUrl.size() - suffix.size();
  const bool isMap = mapPathOrUrl.size() > suffix.size() &&
                     mapPathOrUrl.compare(stem, suffix.size(), suffix) == 0;
  return isMap ? mapPathOrUrl.substr(0, stem) + kDeltaBlocksSuffix : std::string();
}

}  // namespace release_layout
