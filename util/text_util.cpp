#include "util/text_util.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

void SplitString(const std::string& text, const std::string& separator,
                 std::vector<std::string>& pieces) {
  if (separator.empty()) {
    pieces.push_back(text);
    return;
  }
  size_t start = 0;
  for (size_t at = text.find(separator); at != std::string::npos;
       at = text.find(separator, start)) {
    pieces.push_back(text.substr(start, at - start));
    start = at + separator.size();
  }
  pieces.push_back(text.substr(start));
}

std::string FormatSizeText(uint64_t bytes) {
  static constexpr struct {
    uint64_t unit;
    const char* format;
  } kUnits[] = {{1ull << 30, "%.2f GB"}, {1ull << 20, "%.2f MB"}, {1ull << 10, "%.2f KB"}};
  char text[64];
  for (const auto& u : kUnits) {
    if (bytes >= u.unit) {
      // Single precision on purpose: 1048575 bytes reads "1024.00 KB".
      float value = static_cast<float>(static_cast<double>(bytes) / static_cast<double>(u.unit));
      snprintf(text, sizeof text, u.format, static_cast<double>(value));
      return text;
    }
  }
  snprintf(text, sizeof text, "%d B", static_cast<int>(bytes));
  return text;
}

std::string TimeStampQuery() {
  time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  char text[128];
  snprintf(text, sizeof text, "%02d%02d%02d%02d", local.tm_mon + 1, local.tm_mday, local.tm_hour,
           local.tm_min);
  return std::string("?time=") + text;
}

std::string WideToOem(const std::string& text) {
  return Utf8ToWide(text.c_str());
}

void WideToAnsi(const char* text, char* buffer, size_t bufferSize) {
  AnsiToWide(text, buffer, bufferSize);
}

std::string AnsiToWide(const std::string& text) {
  return text;
}

void AnsiToWide(const char* text, char* buffer, size_t bufferSize) {
  if (bufferSize == 0) return;
  if (text == nullptr) {
    buffer[0] = '\0';
    return;
  }
  size_t n = strnlen(text, bufferSize - 1);
  memcpy(buffer, text, n);
  buffer[n] = '\0';
}

std::string WideToUtf8(const std::string& text) {
  return text;
}

std::string Utf8ToWide(const std::string& text) {
  return Utf8ToWide(text.c_str());
}

std::string Utf8ToWide(const char* text) {
  return text ? std::string(text) : std::string();
}

std::string CutUtf8(const std::string& text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  size_t end = maxBytes;
  // Step back over continuation bytes, then drop the lead byte whose
  // sequence the cut would split.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

std::string TrimBlanks(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool EqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}
