// Helpers shared by the fuzz targets: the process's scratch folder, writing
// an input where the code under test reads it, a silent day log, the
// in-process update server and engine that the engine-level targets drive,
// and the check that turns a broken invariant into a crash libFuzzer reports.
//
// Thread-safety: libFuzzer runs one input at a time on one thread; these
// helpers are used from that thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/testing/fake_http.h"
#include "update/downloader.h"

// Prints what broke and aborts, so that libFuzzer keeps the input as a crash.
#define FUZZ_CHECK(condition)                                          \
  do {                                                                 \
    if (!(condition)) FuzzCheckFailed(#condition, __FILE__, __LINE__); \
  } while (0)
[[noreturn]] void FuzzCheckFailed(const char* what, const char* file, int line);

// The folder of this fuzzing process, without a trailing "/": made on first
// use (with the day log sent to /dev/null), removed when the process ends.
const std::string& FuzzFolder();

// FuzzFolder() + "/" + relative, made empty (created, or emptied when it
// exists); returned with a trailing "/".
std::string FreshFolder(const std::string& relative);

// Writes size bytes to path, making its folders and replacing the file.
void WriteInput(const std::string& path, const uint8_t* data, size_t size);
void WriteText(const std::string& path, const std::string& text);
std::string ReadWhole(const std::string& path);

// The release address the fake server answers below.
constexpr const char* kFuzzReleaseUrl = "http://fuzz.test/release/";

// An engine on a fresh installation folder, with a fake update server of its
// own (requests are recorded, so a server per input keeps memory flat).
struct FuzzEngine {
  explicit FuzzEngine(const std::string& installDir);
  // relative below kFuzzReleaseUrl answers body with status 200.
  void Serve(const std::string& relative, std::string body);

  FakeHttpServer server;
  std::unique_ptr<CVXDlownloader> engine;  // declared after the server it borrows
};

// A small 7z archive holding one file, as bytes (made once per content).
std::string SevenZipOf(const std::string& name, const std::string& content);

// MD5 hex of a text.
std::string Md5Of(const std::string& text);
