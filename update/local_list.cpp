#include "update/local_list.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <pugixml.hpp>

#include "diag/log.h"
#include "update/file_list.h"
#include "util/file_util.h"
#include "util/text_util.h"

struct LocalList::Document {
  pugi::xml_document xml;
  std::map<std::string, pugi::xml_node> index;  // "Path" -> its "File" element

  pugi::xml_node Files() { return xml.child("Filelist").child("Files"); }

  // The "Files" element, made when a loaded list lacks it, so that entries
  // always have a place to go.
  pugi::xml_node FilesForWriting() {
    pugi::xml_node list = xml.child("Filelist");
    if (!list) list = xml.append_child("Filelist");
    pugi::xml_node files = list.child("Files");
    return files ? files : list.append_child("Files");
  }

  // The declaration of a list we make: version "1.0", encoding "UTF-8".
  // A loaded list that has a declaration gets this one in its place: the
  // XML library converts a list declared in another encoding (Latin-1) to
  // UTF-8 as it loads it, and Save writes UTF-8, so a declaration kept as
  // it was would make the next load convert the saved names once more.
  void DeclareUtf8() {
    pugi::xml_node old = xml.first_child();
    pugi::xml_node decl = xml.prepend_child(pugi::node_declaration);
    decl.append_attribute("version") = "1.0";
    decl.append_attribute("encoding") = "UTF-8";
    if (old.type() == pugi::node_declaration) xml.remove_child(old);
  }

  void BuildIndex() {
    index.clear();
    for (pugi::xml_node f : Files().children("File")) {
      pugi::xml_attribute path = f.attribute("Path");
      if (path) index[path.value()] = f;
    }
  }
};

namespace {

// An entry whose numbers are out of range reads as its path alone, so that
// it is never taken for installed content.
FileEntry EntryOf(pugi::xml_node f) {
  FileEntry e;
  std::string why;
  auto text = [&f](const char* name) {
    pugi::xml_attribute a = f.attribute(name);
    return a ? a.value() : nullptr;
  };
  if (!FileEntryFromAttributes(text("Path"), text("Code"), text("Size"), text("Zip"),
                               text("zipSize"), &e, &why)) {
    e = FileEntry();
    e.path = f.attribute("Path").value();
  }
  return e;
}

void SetNumber(pugi::xml_node f, const char* name, int64_t value) {
  pugi::xml_attribute a = f.attribute(name);
  if (!a) a = f.append_attribute(name);
  a.set_value(std::to_string(value).c_str());
}

void SetText(pugi::xml_node f, const char* name, const std::string& value) {
  pugi::xml_attribute a = f.attribute(name);
  if (!a) a = f.append_attribute(name);
  a.set_value(value.c_str());
}

struct StringWriter : pugi::xml_writer {
  std::string text;
  void write(const void* data, size_t size) override {
    text.append(static_cast<const char*>(data), size);
  }
};

}  // namespace

LocalList::LocalList() : doc_(std::make_unique<Document>()) {}
LocalList::~LocalList() = default;

bool LocalList::Load(const std::string& path) {
  auto fresh = std::make_unique<Document>();
  pugi::xml_parse_result r =
      fresh->xml.load_file(path.c_str(), pugi::parse_default | pugi::parse_declaration);
  if (!r) return false;
  if (fresh->xml.first_child().type() == pugi::node_declaration) fresh->DeclareUtf8();
  fresh->BuildIndex();
  std::lock_guard<std::mutex> hold(lock_);
  doc_ = std::move(fresh);
  fileName_ = path;
  onDisk_ = true;
  return true;
}

void LocalList::CreateEmpty(const std::string& path) {
  auto fresh = std::make_unique<Document>();
  fresh->DeclareUtf8();
  fresh->FilesForWriting();
  std::lock_guard<std::mutex> hold(lock_);
  doc_ = std::move(fresh);
  fileName_ = path;
  onDisk_ = false;
}

bool LocalList::Save() const {
  StringWriter out;
  std::string name;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (fileName_.empty()) return false;
    name = fileName_;
    // A pass saves after each step; a list read back unchanged is not
    // written (and flushed) again.
    if (onDisk_ && IsPlainFile(name)) return true;
    doc_->xml.save(out, "\t", pugi::format_default, pugi::encoding_utf8);
  }
  const bool ok = WriteFileAtomically(name, out.text);
  std::lock_guard<std::mutex> hold(lock_);
  if (ok && name == fileName_) onDisk_ = true;
  return ok;
}

std::string LocalList::fileName() const {
  std::lock_guard<std::mutex> hold(lock_);
  return fileName_;
}

void LocalList::Record(const std::string& key, const FileEntry& entry) {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = doc_->index.find(key);
  if (it != doc_->index.end()) {
    const std::string code = WideToOem(entry.code);
    const FileEntry known = EntryOf(it->second);
    if (known.code == code && known.size == entry.size) return;
    SetText(it->second, "Code", code);
    SetNumber(it->second, "Size", entry.size);
    onDisk_ = false;
    return;
  }
  onDisk_ = false;
  pugi::xml_node f = doc_->FilesForWriting().append_child("File");
  SetText(f, "Path", key);
  SetText(f, "Code", WideToOem(entry.code));
  SetNumber(f, "Size", entry.size);
  SetNumber(f, "Zip", entry.zip);
  if (TaskKindOf(entry.zip) == TaskKind::Zip || TaskKindOf(entry.zip) == TaskKind::SevenZip)
    SetNumber(f, "zipSize", entry.zipSize);
  doc_->index[key] = f;
}

int LocalList::Remove(const std::string& key) {
  std::lock_guard<std::mutex> hold(lock_);
  pugi::xml_node files = doc_->Files();
  if (!files) return -1;
  int removed = 0;
  for (pugi::xml_node f = files.child("File"); f;) {
    pugi::xml_node next = f.next_sibling("File");
    if (key == f.attribute("Path").value()) {
      // The index must never keep a handle to a freed element.
      auto it = doc_->index.find(key);
      if (it != doc_->index.end() && it->second == f) doc_->index.erase(it);
      files.remove_child(f);
      onDisk_ = false;
      ++removed;
    }
    f = next;
  }
  return removed;
}

bool LocalList::Forget(const std::string& key) {
  std::lock_guard<std::mutex> hold(lock_);
  return doc_->index.erase(key) > 0;
}

bool LocalList::Contains(const std::string& key) const {
  std::lock_guard<std::mutex> hold(lock_);
  return doc_->index.count(key) > 0;
}

bool LocalList::Find(const std::string& key, FileEntry* entry) const {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = doc_->index.find(key);
  if (it == doc_->index.end()) return false;
  if (entry != nullptr) *entry = EntryOf(it->second);
  return true;
}

size_t LocalList::IndexSize() const {
  std::lock_guard<std::mutex> hold(lock_);
  return doc_->index.size();
}

std::vector<FileEntry> LocalList::Entries() const {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<FileEntry> entries;
  for (pugi::xml_node f : doc_->Files().children("File")) {
    if (f.attribute("Path")) entries.push_back(EntryOf(f));
  }
  return entries;
}
