#include "app/launcher_settings.h"

#include <cstdio>
#include <ctime>
#include <fstream>
#include <pugixml.hpp>
#include <sstream>
#include <vector>

#include "app/update_driver.h"
#include "diag/log.h"
#include "update/downloader.h"
#include "update/install_layout.h"
#include "update/rate_limit.h"
#include "update/release_layout.h"
#include "util/file_util.h"
#include "util/text_util.h"

namespace {

std::vector<std::string> ReadLines(const std::string& file) {
  std::vector<std::string> lines;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

int Today() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local.tm_mday;
}

// Keeps the last two day logs in listing order.
void TrimLogFolder(const std::string& installDir) {
  std::vector<std::string> entries;
  ListFolder(installDir + "launcherlog", entries, 2);
  if (entries.size() <= 5) return;
  for (size_t i = 1; i + 2 < entries.size(); ++i) RemoveFileIfPresent(entries[i]);
}

}  // namespace

#ifndef KESTRAVA_HOME_PAGE
#define KESTRAVA_HOME_PAGE ""
#endif
#ifndef KESTRAVA_GROUP_URL
#define KESTRAVA_GROUP_URL ""
#endif

WebConfig DefaultWebConfig(const std::string& releaseBaseUrl) {
  WebConfig c;
  c.homePage = KESTRAVA_HOME_PAGE;
  if (c.homePage.empty()) c.homePage = releaseBaseUrl + "web/index.html";
  c.groupUrl = KESTRAVA_GROUP_URL;
  return c;
}

void LoadWebConfig(const std::string& file, WebConfig* config) {
  WriteLog("LoadUrl!");
  pugi::xml_document doc;
  if (!doc.load_file(WideToOem(file).c_str())) {
    WriteLog("LoadUrl Fail!");
    return;
  }
  pugi::xml_node url = doc.child("url");
  if (!url) return;
  // The text of the first element of that name, when it has one.
  auto read = [&url](const char* name, std::string* value) {
    pugi::xml_node text = url.child(name).first_child();
    if (text && (text.type() == pugi::node_pcdata || text.type() == pugi::node_cdata) &&
        *text.value() != '\0') {
      *value = text.value();
    }
  };
  read("platform", &config->platform);
  read("AddQQ", &config->groupUrl);
  read("HomePage", &config->homePage);
  read("GameRunner", &config->gameRunner);
  std::string limit;
  read("LimitRate", &limit);
  if (!limit.empty() && !ParseByteRate(limit, &config->limitRate)) {
    WriteLogTag("Error", "web.xml LimitRate %s is not a rate such as 5M or 500K; no limit",
                limit.c_str());
  }
}

bool DownloadServerList(CVXDlownloader* engine) {
  const InstallLayout install(engine->installDir());
  const std::string file = install.gameServerList();
  // A signed release's list is fetched beside the update files and moved
  // into place once checked: a forged one must not replace the game's.
  const bool signedList = engine->SignedReleases();
  const std::string fetched =
      signedList ? install.InUpdateArea(release_layout::kGameServerList) : file;
  RemoveFileIfPresent(fetched);
  WriteLog("Start Get Serverlist");
  if (engine->DownloadFile(engine->releaseBaseUrl() + release_layout::kGameServerList, fetched,
                           nullptr, kSmallFileLimit) != Transfer_Complete) {
    return false;
  }
  if (signedList && (!engine->CheckReleaseFile(release_layout::kGameServerList, fetched) ||
                     std::rename(fetched.c_str(), file.c_str()) != 0)) {
    return false;
  }
  WriteLog("Download url.xml Success");
  return true;
}

// Profile files are matched as Windows matches them: section and key names
// ignore ASCII case (EqualNoCase), so "[Check]" and "Sign=" written by hand
// still count.
namespace {

// The section name of a "[name]" line; false for any other line.
bool SectionOf(const std::string& line, std::string* section) {
  if (line.size() < 2 || line.front() != '[' || line.back() != ']') return false;
  *section = TrimBlanks(line.substr(1, line.size() - 2));
  return true;
}

// The value of a "key = value" line when its key is key.
bool ValueOf(const std::string& line, const std::string& key, std::string* value) {
  size_t eq = line.find('=');
  if (eq == std::string::npos || !EqualNoCase(TrimBlanks(line.substr(0, eq)), key)) return false;
  *value = TrimBlanks(line.substr(eq + 1));
  return true;
}

}  // namespace

std::string ReadIniValue(const std::string& file, const std::string& section,
                         const std::string& key, const std::string& fallback) {
  std::string current;
  std::string value;
  for (const std::string& raw : ReadLines(file)) {
    std::string line = TrimBlanks(raw);
    if (SectionOf(line, &current)) continue;
    if (EqualNoCase(current, section) && ValueOf(line, key, &value)) return value.substr(0, 32);
  }
  return fallback;
}

bool WriteIniValue(const std::string& file, const std::string& section, const std::string& key,
                   const std::string& value) {
  std::vector<std::string> lines = ReadLines(file);
  std::string current;
  std::string old;
  int sectionEnd = -1;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string line = TrimBlanks(lines[i]);
    if (SectionOf(line, &current)) {
      if (EqualNoCase(current, section)) sectionEnd = static_cast<int>(i) + 1;
    } else if (EqualNoCase(current, section)) {
      if (ValueOf(line, key, &old)) {
        lines[i] = key + "=" + value;
        sectionEnd = -2;
        break;
      }
      if (!line.empty()) sectionEnd = static_cast<int>(i) + 1;
    }
  }
  if (sectionEnd == -1) {
    lines.push_back("[" + section + "]");
    lines.push_back(key + "=" + value);
  } else if (sectionEnd >= 0) {
    lines.insert(lines.begin() + sectionEnd, key + "=" + value);
  }
  std::ostringstream out;
  for (const std::string& l : lines) out << l << "\r\n";
  CreateParentFolders(file);
  return WriteFileAtomically(file, out.str());
}

bool RunFourDayCheck(CVXDlownloader* engine, UpdateDriver* driver, int dayOfMonth) {
  if (!driver->TakeFourDayCheck()) return false;
  int d = dayOfMonth > 0 ? dayOfMonth : Today();
  if ((d & 3) != 0) return false;
  const std::string ini = InstallLayout(engine->installDir()).checkIni();
  const std::string today = std::to_string(d);
  std::string sign = ReadIniValue(ini, "check", "sign", "-1");
  if (sign == today) return false;
  if (sign != "-1") TrimLogFolder(engine->installDir());
  WriteIniValue(ini, "check", "sign", today);
  WriteLog("Check File Every 4 Day");
  engine->SetUpdateMode(UpdateMode::VerifyFiles);
  driver->StartUpdateThread();
  return true;
}
