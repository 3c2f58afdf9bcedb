#include "text.hpp"

#include <unicode/ubrk.h>
#include <unicode/utext.h>

#include <climits>
#include <cstdio>

namespace ombru::menu {

namespace {

// One character break iterator per thread: opening one is far dearer than
// reusing it, and the menu truncates many titles per build.
struct Breaker {
  UBreakIterator* it = nullptr;
  Breaker() {
    UErrorCode status = U_ZERO_ERROR;
    it = ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status);
    if (U_FAILURE(status)) {
      if (it != nullptr) ubrk_close(it);
      it = nullptr;
    }
  }
  ~Breaker() {
    if (it != nullptr) ubrk_close(it);
  }
  Breaker(const Breaker&) = delete;
  Breaker& operator=(const Breaker&) = delete;
};

// Byte offset just past the first `limit` characters of text, or -1 when the
// text has `limit` characters or fewer. Also reports how many characters were
// passed (all of them when the text is shorter).
struct Scan {
  std::int64_t count = 0;
  std::size_t cut = 0;  // end of the first `limit` characters
  bool longer = false;  // more characters follow the first `limit`
};

Scan scan(std::string_view text, std::int64_t limit) {
  Scan r;
  if (text.empty()) return r;
  // Break indices are 32-bit; nothing the daemon sends comes near that.
  std::size_t size = text.size() > static_cast<std::size_t>(INT32_MAX)
                         ? static_cast<std::size_t>(INT32_MAX)
                         : text.size();
  thread_local Breaker breaker;
  UErrorCode status = U_ZERO_ERROR;
  UText* ut = breaker.it ? utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(size), &status)
                         : nullptr;
  if (ut != nullptr && U_SUCCESS(status)) ubrk_setUText(breaker.it, ut, &status);
  if (ut == nullptr || U_FAILURE(status)) {
    if (ut != nullptr) utext_close(ut);
    // Without ICU data, fall back to code points so nothing is cut mid-sequence.
    for (std::size_t i = 0; i < size; ++i) {
      if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
      if (r.count == limit) {
        r.longer = true;
        return r;
      }
      ++r.count;
      r.cut = i + 1;
      while (r.cut < size && (static_cast<unsigned char>(text[r.cut]) & 0xC0) == 0x80) ++r.cut;
    }
    return r;
  }
  ubrk_first(breaker.it);
  for (int32_t b = ubrk_next(breaker.it); b != UBRK_DONE; b = ubrk_next(breaker.it)) {
    if (r.count == limit) {
      r.longer = true;
      break;
    }
    ++r.count;
    r.cut = static_cast<std::size_t>(b);
  }
  // Detach the text before it is closed; the iterator outlives this call.
  ubrk_setText(breaker.it, nullptr, 0, &status);
  utext_close(ut);
  return r;
}

}  // namespace

std::int64_t characterCount(std::string_view text) noexcept {
  return scan(text, INT64_MAX).count;
}

std::string truncate(std::string_view text, std::int64_t n) {
  if (n < 1) n = 1;
  Scan r = scan(text, n);
  if (!r.longer) return std::string(text);
  Scan keep = scan(text, n - 1);
  std::string out(text.substr(0, keep.cut));
  out += "\u2026";
  return out;
}

std::string countdown(std::int64_t nextIn) {
  char buf[80];
  std::snprintf(buf, sizeof buf, "next smart loop in %lld:%02lld",
                static_cast<long long>(nextIn / 60), static_cast<long long>(nextIn % 60));
  return buf;
}

}  // namespace ombru::menu
