// The paths of one installation, every one built from its folder: the
// metadata the launcher keeps under LauncherConfig/, the update area where
// fetched files wait (LauncherConfig/update/), and the launcher's programs.
// Release files mirrored into the installation keep their release names
// (release_layout.h).
//
// Thread-safety: immutable after construction; any thread.
#pragma once

#include <string>

#include "update/release_layout.h"

class InstallLayout {
 public:
  // folder: the installation folder, ending with "/".
  explicit InstallLayout(std::string folder) : root_(std::move(folder)) {}

  const std::string& root() const { return root_; }
  // A path of the installation given relative to its folder ("/" separated).
  std::string Path(const std::string& relative) const { return root_ + relative; }

  std::string configFolder() const { return Path(release_layout::kConfigFolder); }
  std::string localList() const { return Path("LauncherConfig/localclient.md5"); }
  std::string clientList() const { return Path(release_layout::kClientList); }
  std::string clientListArchive() const { return Path(release_layout::kClientListArchive); }
  std::string serverList() const { return Path(release_layout::kServerList); }
  std::string releaseSerial() const { return Path("LauncherConfig/release.serial"); }
  std::string launcherLock() const { return Path("LauncherConfig/launcher.lock"); }
  std::string installUnfinished() const { return Path("LauncherConfig/install.unfinished"); }
  std::string checkIni() const { return Path("LauncherConfig/check.ini"); }
  std::string scopeFile() const { return Path(release_layout::kScopeFile); }
  std::string launcher() const { return Path(release_layout::kLauncherName); }
  std::string updateTool() const { return Path(release_layout::kUpdateToolName); }
  // The new launcher's archive, fetched beside the launcher for the update
  // tool to unpack over it.
  std::string launcherArchive() const { return Path(release_layout::kLauncherArchiveName); }
  // The game client's server list.
  std::string gameServerList() const { return Path(release_layout::kGameServerList); }
  std::string launchConf() const { return Path("Launch.conf"); }

  // The update area: fetched metadata and files wait here before they are
  // checked and moved into place. Emptied at the start of every pass.
  std::string updateArea() const { return Path("LauncherConfig/update"); }
  // A file in the update area, by its name there ("update.xml",
  // "release.sig", "LaunUpdate.xml", "url.xml", "firstdownload", ...).
  std::string InUpdateArea(const std::string& name) const {
    return Path("LauncherConfig/update/" + name);
  }
  // Left by the update tool when it could not replace the launcher.
  std::string launcherNotReplaced() const { return InUpdateArea("launcher.notreplaced"); }

 private:
  std::string root_;
};
