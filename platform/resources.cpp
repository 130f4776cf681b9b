#include "platform/resources.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>
#include <utility>

namespace platform {
namespace {

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

// Guarded by Mutex(): programs register at start, windows look up later,
// possibly from another thread.
std::map<std::pair<std::string, int>, ResourceView>& Table() {
  static std::map<std::pair<std::string, int>, ResourceView> table;
  return table;
}

std::mutex& Mutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

void RegisterResource(const std::string& type, int id, const unsigned char* data,
                      std::size_t size) {
  std::lock_guard<std::mutex> lock(Mutex());
  Table()[{Upper(type), id}] = ResourceView{data, size};
}

ResourceView FindResourceData(const std::string& type, int id) {
  std::lock_guard<std::mutex> lock(Mutex());
  auto it = Table().find({Upper(type), id});
  return it == Table().end() ? ResourceView{} : it->second;
}

void ClearResources() {
  std::lock_guard<std::mutex> lock(Mutex());
  Table().clear();
}

}  // namespace platform
