#include "tests/e2e/nginx_server.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/e2e/launcher_e2e_support.h"

bool NginxServer::Load() {
  const char* env = std::getenv("KESTRAVA_NGINX_ENV");
  if (!env) return false;
  std::ifstream in(env);
  std::string line;
  while (std::getline(in, line)) {
    auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "port") port = std::atoi(value.c_str());
    if (key == "root") root = value;
    if (key == "access_log") accessLog = value;
    if (key == "tls_port") tlsPort = std::atoi(value.c_str());
    if (key == "ca") caFile = value;
  }
  return port > 0 && !root.empty();
}

std::string NginxServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port) + "/" + path;
}

std::string NginxServer::TlsUrl(const std::string& path) const {
  return "https://127.0.0.1:" + std::to_string(tlsPort) + "/" + path;
}

std::string NginxServer::FreshFolder(const std::string& name) const {
  std::string folder = root + "/" + name + "/";
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  std::filesystem::create_directories(folder, ec);
  return folder;
}

std::string NginxServer::LogLinesFor(const std::string& uriPart) const {
  std::ifstream in(accessLog);
  std::string line, out;
  while (std::getline(in, line))
    if (line.find(uriPart) != std::string::npos) out += line + "\n";
  return out;
}

bool NginxServer::AwaitLogged(const std::string& text, size_t from, int seconds) const {
  return e2e::WaitFor(
      [&] {
        std::ifstream in(accessLog);
        std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return log.size() > from && log.find(text, from) != std::string::npos;
      },
      seconds);
}
