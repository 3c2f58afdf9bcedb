#pragma once
// Text helpers of the menu. Lengths are user-perceived characters (extended
// grapheme clusters, by ICU), never bytes or code units.

#include <cstdint>
#include <string>
#include <string_view>

namespace ombru::menu {

// Number of user-perceived characters in UTF-8 text. Invalid bytes count as
// replacement characters.
std::int64_t characterCount(std::string_view text) noexcept;

// Text of at most n characters: unchanged when it already fits, otherwise its
// first n - 1 characters followed by "…" (exactly n characters). An n below 1
// counts as 1. Call it qualified: POSIX declares a truncate() of its own.
std::string truncate(std::string_view text, std::int64_t n);

// "next smart loop in M:SS": minutes and seconds by division truncating toward
// zero, so the seconds carry the sign of nextIn (-65 gives "-1:-5"). The full
// 64-bit range is printed.
std::string countdown(std::int64_t nextIn);

}  // namespace ombru::menu
