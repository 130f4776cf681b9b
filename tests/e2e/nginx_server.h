// Finds the loopback nginx that the "nginx" CTest fixture started, and gives
// each end-to-end test a folder of its own under the served root.
// Thread-safety: plain values; use from the test's thread.
#pragma once

#include <string>

struct NginxServer {
  int port = 0;
  std::string root;       // the served folder, without a trailing "/"
  std::string accessLog;  // one line per request: uri, range=, status=, sent=, conn=
  int tlsPort = 0;        // the same folder over https
  std::string caFile;     // the certificate to trust for tlsPort

  // Reads the file named by KESTRAVA_NGINX_ENV; false when it is missing
  // (the test was run without its fixture).
  bool Load();
  // "http://127.0.0.1:<port>/" + path.
  std::string Url(const std::string& path) const;
  // "https://127.0.0.1:<tlsPort>/" + path.
  std::string TlsUrl(const std::string& path) const;
  // root + "/" + name + "/", emptied and created afresh.
  std::string FreshFolder(const std::string& name) const;
  // The access log lines that mention `uriPart`.
  std::string LogLinesFor(const std::string& uriPart) const;
  // Waits up to `seconds` for `text` in the access log after its byte
  // `from`: nginx writes a request's line just after the last byte leaves,
  // so a client can be done a moment before the line is there.
  bool AwaitLogged(const std::string& text, size_t from, int seconds = 10) const;
};
