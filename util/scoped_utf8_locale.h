// libarchive converts the UTF-16 names of 7z items through the thread's
// locale; under the C locale every non-ASCII name would be lost. A
// ScopedUtf8Locale switches the calling thread (only) to UTF-8 for its
// lifetime, for the archive reader and the archive writer alike.
//
// Thread-safety: affects only the thread that made it; the shared UTF-8
// locale object is made once and never changed.
#pragma once

#include <locale.h>

class ScopedUtf8Locale {
 public:
  ScopedUtf8Locale() {
    static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    previous_ = utf8 ? uselocale(utf8) : nullptr;
  }
  ~ScopedUtf8Locale() {
    if (previous_) uselocale(previous_);
  }
  ScopedUtf8Locale(const ScopedUtf8Locale&) = delete;
  ScopedUtf8Locale& operator=(const ScopedUtf8Locale&) = delete;

 private:
  locale_t previous_;
};
