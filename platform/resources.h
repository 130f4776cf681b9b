// The program's resource table: blobs linked into the executable (the skin
// package, the window icon) found by type name and numeric id, the way the
// launcher's windows ask for "ZIPRES" 130.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

struct ResourceView {
  const unsigned char* data = nullptr;
  std::size_t size = 0;
};

// Adds or replaces one entry. The bytes must live for the whole process.
// Thread-safe.
void RegisterResource(const std::string& type, int id, const unsigned char* data, std::size_t size);

// The entry of that type (letter case ignored) and id; empty when absent.
// Thread-safe.
ResourceView FindResourceData(const std::string& type, int id);

// Drops every entry (tests).
void ClearResources();

}  // namespace platform
