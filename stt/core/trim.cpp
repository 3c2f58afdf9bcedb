#include "trim.hpp"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdint>

namespace stt {

bool isWhitespaceOrNewline(char32_t c) {
  if (c == U'\t' || (c >= U'\n' && c <= U'\r') || c == U'\u0085') return true;
  if (c > UCHAR_MAX_VALUE) return false;
  switch (u_charType(static_cast<UChar32>(c))) {
    case U_SPACE_SEPARATOR:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
      return true;
    default:
      return false;
  }
}

std::string trimWhitespaceAndNewlines(std::string_view text) {
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());

  int32_t begin = 0;
  while (begin < length) {
    int32_t next = begin;
    UChar32 c;
    U8_NEXT(s, next, length, c);
    if (c < 0 || !isWhitespaceOrNewline(static_cast<char32_t>(c))) break;
    begin = next;
  }

  int32_t end = length;
  while (end > begin) {
    int32_t previous = end;
    UChar32 c;
    U8_PREV(s, begin, previous, c);
    if (c < 0 || !isWhitespaceOrNewline(static_cast<char32_t>(c))) break;
    end = previous;
  }
  return std::string(text.substr(static_cast<size_t>(begin), static_cast<size_t>(end - begin)));
}

}  // namespace stt
