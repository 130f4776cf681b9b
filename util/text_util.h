// Text helpers: splitting, size texts, the cache-busting time query, and the
// code-page conversions the rest of the system calls by name.
//
// Free functions without state, safe on any thread. Text is UTF-8 throughout
// and the system's narrow code pages are UTF-8 too, so the conversions copy
// (they still stop at an embedded zero byte where a C string would).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Appends the pieces of `text` between occurrences of `separator` to
// `pieces`, in order, including the (possibly empty) piece after the last
// separator. The list is not cleared. An empty separator appends the text.
void SplitString(const std::string& text, const std::string& separator,
                 std::vector<std::string>& pieces);

// "1023 B", "1.50 KB", "5.00 MB", "4.00 GB": the quotient is rounded to single
// precision before it is printed with two decimals.
std::string FormatSizeText(uint64_t bytes);

// "?time=MMDDhhmm" in local time, appended to addresses that must bypass
// caches.
std::string TimeStampQuery();

std::string WideToOem(const std::string& text);
// Copies the zero-terminated text, terminator included, into buffer (at most
// bufferSize bytes, always terminated when bufferSize > 0).
void WideToAnsi(const char* text, char* buffer, size_t bufferSize);
std::string AnsiToWide(const std::string& text);
void AnsiToWide(const char* text, char* buffer, size_t bufferSize);
std::string WideToUtf8(const std::string& text);
// Up to the first zero byte.
std::string Utf8ToWide(const std::string& text);
std::string Utf8ToWide(const char* text);

// The longest prefix of `text` of at most `maxBytes` bytes that does not end
// inside a UTF-8 sequence.
std::string CutUtf8(const std::string& text, size_t maxBytes);

// `text` without its leading and trailing spaces and tabs.
std::string TrimBlanks(const std::string& text);

// ASCII letters compared without regard to case (skin attribute values,
// profile file section and key names).
bool EqualNoCase(const std::string& a, const std::string& b);
