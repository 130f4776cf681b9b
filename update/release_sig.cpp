#include "update/release_sig.h"

#include <sstream>

#include "platform/crypto.h"
#include "update/safe_path.h"

namespace {

constexpr char kMagic[] = "kestrava-release-sig 1";
constexpr char kVersion[] = "version ";
constexpr char kSerial[] = "serial ";
constexpr char kFile[] = "file ";
constexpr char kSignature[] = "signature ";

bool Fail(std::string* error, const std::string& why) {
  *error = why;
  return false;
}

bool StartsWith(const std::string& line, const char* prefix, std::string* rest) {
  const std::string p = prefix;
  if (line.compare(0, p.size(), p) != 0) return false;
  *rest = line.substr(p.size());
  return true;
}

// No line feeds or other control characters: one line of the file.
bool IsOneLine(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

bool IsSha256Hex(const std::string& text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// Decimal digits only, at most 18 of them: it fits both int64 and uint64.
bool ParseNumber(const std::string& text, uint64_t* value) {
  if (text.empty() || text.size() > 18) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  *value = v;
  return true;
}

bool IsSignablePath(const std::string& path) {
  return IsSafeRelativePath(path) && IsOneLine(path) && path.find('\\') == std::string::npos;
}

// "<sha256> <size> <path>"; the path is the rest of the line and may hold
// blanks.
bool ParseFileLine(const std::string& rest, ReleaseManifest* manifest) {
  size_t first = rest.find(' ');
  size_t second = first == std::string::npos ? first : rest.find(' ', first + 1);
  if (second == std::string::npos) return false;
  SignedFile file;
  file.sha256 = rest.substr(0, first);
  uint64_t size = 0;
  std::string path = rest.substr(second + 1);
  if (!IsSha256Hex(file.sha256) ||
      !ParseNumber(rest.substr(first + 1, second - first - 1), &size) || !IsSignablePath(path)) {
    return false;
  }
  file.size = static_cast<int64_t>(size);
  return manifest->files.emplace(path, file).second;  // a path is named once
}

// The manifest, the base64 signature and where the signed part ends.
bool ParseParts(const std::string& text, ReleaseManifest* manifest, std::string* signature,
                size_t* bodyEnd, std::string* error) {
  if (text.empty() || text.back() != '\n') return Fail(error, "it does not end with a line feed");
  ReleaseManifest out;
  bool signed_ = false;
  int number = 0;
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    const std::string line = text.substr(at, end - at);
    const std::string where = "line " + std::to_string(++number) + ": ";
    std::string rest;
    uint64_t serial = 0;
    if (signed_) return Fail(error, where + "text after the signature");
    if (number == 1) {
      if (line != kMagic) return Fail(error, "it is not a release signature file");
    } else if (number == 2) {
      if (!StartsWith(line, kVersion, &rest) || !IsOneLine(rest)) {
        return Fail(error, where + "no version");
      }
      out.version = rest;
    } else if (number == 3) {
      if (!StartsWith(line, kSerial, &rest) || !ParseNumber(rest, &serial)) {
        return Fail(error, where + "no serial number");
      }
      out.serial = serial;
    } else if (StartsWith(line, kFile, &rest)) {
      if (!ParseFileLine(rest, &out)) return Fail(error, where + "malformed or repeated file");
    } else if (StartsWith(line, kSignature, &rest)) {
      *signature = rest;
      *bodyEnd = at;
      signed_ = true;
    } else {
      return Fail(error, where + "unknown line");
    }
    at = end + 1;
  }
  if (!signed_) return Fail(error, "no signature line");
  *manifest = std::move(out);
  return true;
}

}  // namespace

std::string ManifestBody(const ReleaseManifest& manifest) {
  if (!IsOneLine(manifest.version)) return std::string();
  std::ostringstream out;
  out << kMagic << "\n"
      << kVersion << manifest.version << "\n"
      << kSerial << manifest.serial << "\n";
  for (const auto& [path, file] : manifest.files) {
    if (!IsSignablePath(path) || !IsSha256Hex(file.sha256) || file.size < 0) return std::string();
    out << kFile << file.sha256 << " " << file.size << " " << path << "\n";
  }
  return out.str();
}

bool SignManifest(const ReleaseManifest& manifest, const std::string& privateKeyPem,
                  std::string* text, std::string* error) {
  std::string body = ManifestBody(manifest);
  if (body.empty()) return Fail(error, "the version or a path cannot be written on one line");
  std::string signature;
  if (!platform::Ed25519Sign(privateKeyPem, body, &signature)) {
    return Fail(error, "the key is not an Ed25519 private key");
  }
  *text = body + kSignature + platform::Base64Encode(signature) + "\n";
  return true;
}

bool ParseManifest(const std::string& text, ReleaseManifest* manifest, std::string* error) {
  std::string signature;
  size_t bodyEnd = 0;
  return ParseParts(text, manifest, &signature, &bodyEnd, error);
}

bool VerifyManifest(const std::string& text, const std::vector<std::string>& trustedKeys,
                    ReleaseManifest* manifest, std::string* error) {
  ReleaseManifest parsed;
  std::string encoded, signature;
  size_t bodyEnd = 0;
  if (!ParseParts(text, &parsed, &encoded, &bodyEnd, error)) return false;
  if (!platform::Base64Decode(encoded, &signature)) return Fail(error, "malformed signature");
  const std::string body = text.substr(0, bodyEnd);
  for (const std::string& key : trustedKeys) {
    if (platform::Ed25519Verify(key, body, signature)) {
      *manifest = std::move(parsed);
      return true;
    }
  }
  return Fail(error, "the signature is not by a trusted key");
}

std::vector<std::string> ParseKeyList(const std::string& text) {
  std::vector<std::string> keys;
  std::string spaced = text;
  for (char& c : spaced) {
    if (c == ',') c = ' ';
  }
  std::istringstream in(spaced);
  for (std::string word; in >> word;) {
    std::string raw;
    const bool usable =
        platform::Base64Decode(word, &raw) && raw.size() == platform::kEd25519KeyBytes;
    keys.push_back(usable ? raw : std::string());
  }
  return keys;
}
