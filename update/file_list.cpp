#include "update/file_list.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <pugixml.hpp>
#include <sstream>

#include "diag/log.h"
#include "update/release_layout.h"
#include "util/file_util.h"

namespace {

// The lists' decimal rule; false when the value does not fit 64 bits.
bool ParseDecimal(const char* text, int64_t* value) {
  *value = 0;
  if (text == nullptr) return true;
  errno = 0;
  const long long v = std::strtoll(text, nullptr, 10);
  if (errno == ERANGE) return false;
  *value = v;
  return true;
}

bool ParseSize(const char* text, int64_t* value) {
  return ParseDecimal(text, value) && *value >= 0 && *value <= kLargestFileSize;
}

const char* AttributeOrNull(pugi::xml_node f, const char* name) {
  pugi::xml_attribute a = f.attribute(name);
  return a ? a.value() : nullptr;
}

std::string TextOf(pugi::xml_node element) {
  pugi::xml_node text = element.first_child();
  return text ? text.value() : "";
}

}  // namespace

bool FileEntryFromAttributes(const char* path, const char* code, const char* size, const char* zip,
                             const char* zipSize, FileEntry* entry, std::string* why) {
  FileEntry e;
  e.path = path ? path : "";
  e.code = code ? code : "";
  int64_t kind = 0;
  if (!ParseSize(size, &e.size)) {
    *why = std::string("Size ") + (size ? size : "");
    return false;
  }
  if (!ParseDecimal(zip, &kind) || kind < INT32_MIN || kind > INT32_MAX) {
    *why = std::string("Zip ") + (zip ? zip : "");
    return false;
  }
  e.zip = static_cast<int32_t>(kind);
  if ((TaskKindOf(e.zip) == TaskKind::Zip || TaskKindOf(e.zip) == TaskKind::SevenZip) &&
      !ParseSize(zipSize, &e.zipSize)) {
    *why = std::string("zipSize ") + (zipSize ? zipSize : "");
    return false;
  }
  *entry = std::move(e);
  return true;
}

bool ParseFileList(const char* data, size_t size, const std::string& name, FileList* list) {
  *list = FileList();
  pugi::xml_document doc;
  if (!doc.load_buffer(data, size)) return false;
  pugi::xml_node root = doc.child("Filelist");
  pugi::xml_node files = root.child("Files");
  list->hasRoot = !root.empty();
  list->hasFiles = !files.empty();
  list->version = TextOf(root.child("version"));
  for (pugi::xml_node f : files.children("File")) {
    const char* path = AttributeOrNull(f, "Path");
    if (path == nullptr) continue;
    FileEntry e;
    std::string why;
    if (!FileEntryFromAttributes(path, AttributeOrNull(f, "Code"), AttributeOrNull(f, "Size"),
                                 AttributeOrNull(f, "Zip"), AttributeOrNull(f, "zipSize"), &e,
                                 &why)) {
      WriteLogTag("Error", "%s: entry [%s] skipped, %s out of range", name.c_str(), path,
                  why.c_str());
      continue;
    }
    list->entries.push_back(std::move(e));
  }
  return true;
}

bool ReadFileList(const std::string& file, int64_t maxBytes, FileList* list) {
  *list = FileList();
  const int64_t size = FileSizeOf(file);
  if (size > maxBytes) {
    WriteLogTag("Error", "%s is %lld bytes, more than the %lld a list may have", file.c_str(),
                static_cast<long long>(size), static_cast<long long>(maxBytes));
    return false;
  }
  FILE* in = std::fopen(file.c_str(), "rb");
  if (in == nullptr) return false;
  std::string text(static_cast<size_t>(size), '\0');
  const bool read = std::fread(text.data(), 1, text.size(), in) == text.size();
  std::fclose(in);
  return read && ParseFileList(text.data(), text.size(), FileNameOf(file), list);
}

std::string FileListText(const std::vector<FileEntry>& entries, const FileListForm& form) {
  pugi::xml_document doc;
  pugi::xml_node decl = doc.append_child(pugi::node_declaration);
  decl.append_attribute("version") = "1.0";
  decl.append_attribute("encoding") = "UTF-8";
  pugi::xml_node root = doc.append_child("Filelist");
  if (!form.version.empty()) {
    root.append_child("version").append_child(pugi::node_pcdata).set_value(form.version.c_str());
  }
  if (form.number) {
    root.append_child("Number")
        .append_child(pugi::node_pcdata)
        .set_value(std::to_string(entries.size()).c_str());
  }
  pugi::xml_node files = root.append_child("Files");
  for (const FileEntry& e : entries) {
    pugi::xml_node f = files.append_child("File");
    f.append_attribute("Path") = e.path.c_str();
    f.append_attribute("Code") = e.code.c_str();
    f.append_attribute("Size") = std::to_string(e.size).c_str();
    if (form.zipAttribute) f.append_attribute("Zip") = e.zip;
    const bool packed =
        TaskKindOf(e.zip) == TaskKind::Zip || TaskKindOf(e.zip) == TaskKind::SevenZip;
    if (form.zipSize == ZipSizeAttribute::kAlways ||
        (form.zipSize == ZipSizeAttribute::kWhenPacked && packed)) {
      f.append_attribute("zipSize") = std::to_string(e.zipSize).c_str();
    }
  }
  std::ostringstream out;
  doc.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
  return out.str();
}

bool IsPackageListName(const std::string& itemName) {
  static const char* const kListNames[] = {"data.7z.md5",  "font.7z.md5",  "program.7z.md5",
                                           "begin.7z.md5", "login.7z.md5", "lobby.7z.md5"};
  const std::string folder = release_layout::kPackageListFolder;
  if (itemName.size() > folder.size() + 4 && itemName.compare(0, folder.size(), folder) == 0 &&
      itemName.find('/', folder.size()) == std::string::npos &&
      itemName.compare(itemName.size() - 4, 4, ".md5") == 0) {
    return true;
  }
  const std::string base = FileNameOf(itemName);
  for (const char* list : kListNames) {
    if (base == list) return true;
  }
  return false;
}
