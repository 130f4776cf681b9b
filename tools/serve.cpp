#include "tools/serve.h"

#include <httplib.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>

#include "update/safe_path.h"

namespace {

constexpr size_t kPiece = 256 * 1024;

std::string ContentType(const std::string& path) {
  auto ends = [&](const char* ext) {
    size_t n = std::strlen(ext);
    return path.size() >= n && path.compare(path.size() - n, n, ext) == 0;
  };
  if (ends(".xml") || ends(".md5")) return "text/xml";
  if (ends(".html") || ends(".htm")) return "text/html";
  if (ends(".txt") || ends(".scope") || ends(".qdx")) return "text/plain";
  return "application/octet-stream";
}

// Streams the file from disk in pieces, so multi-gigabyte packages are
// served without holding them in memory; the library cuts the range.
void ServeFile(const std::string& path, int64_t size, httplib::Response& res) {
  auto file = std::make_shared<std::ifstream>(path, std::ios::binary);
  res.set_content_provider(static_cast<size_t>(size), ContentType(path),
                           [file](size_t offset, size_t length, httplib::DataSink& sink) {
                             std::string buffer(std::min(length, kPiece), '\0');
                             file->clear();
                             file->seekg(static_cast<std::streamoff>(offset));
                             file->read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
                             std::streamsize got = file->gcount();
                             if (got <= 0) return false;
                             return sink.write(buffer.data(), static_cast<size_t>(got));
                           });
}

}  // namespace

StaticServer::StaticServer(std::string root)
    : root_(std::move(root)), server_(std::make_unique<httplib::Server>()) {
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
  server_->Get(R"(/(.*))", [this](const httplib::Request& req, httplib::Response& res) {
    std::string relative = req.matches[1];
    struct stat st;
    std::string path = root_ + "/" + relative;
    if (!IsSafeRelativePath(relative) || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      res.status = 404;
      res.set_content("Not Found\n", "text/plain");
      return;
    }
    ServeFile(path, st.st_size, res);
  });
}

StaticServer::~StaticServer() = default;

bool StaticServer::Bind(const std::string& address, int port) {
  if (port == 0) {
    port_ = server_->bind_to_any_port(address.c_str());
    return port_ > 0;
  }
  port_ = port;
  return server_->bind_to_port(address.c_str(), port);
}

void StaticServer::Run(bool logRequests) {
  if (logRequests) {
    server_->set_logger([](const httplib::Request& req, const httplib::Response& res) {
      std::printf("%s %s %d\n", req.method.c_str(), req.path.c_str(), res.status);
      std::fflush(stdout);
    });
  }
  server_->listen_after_bind();
}

void StaticServer::Stop() {
  server_->stop();
}
