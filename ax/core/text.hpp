// Text rules of the tool. Inputs are UTF-8 as the platform gives it; ill-formed
// sequences read as U+FFFD, and every result is well-formed UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ombru::ax::text {

// Well-formed UTF-8, ill-formed sequences replaced by U+FFFD.
std::string sanitize(std::string_view s);

// Trims general category Z, U+0009 to U+000D and U+0085 from both ends.
std::string trimWhitespaceAndNewlines(std::string_view s);

// Trims Zs and U+0009 from both ends; line breaks stay.
std::string trimSpacesAndTabs(std::string_view s);

// User-perceived characters, counting stops once `limit` is reached.
std::size_t graphemeCount(std::string_view s, std::size_t limit = SIZE_MAX);

// The first `n` user-perceived characters.
std::string graphemePrefix(std::string_view s, std::size_t n);

// Canonically equivalent texts are equal; otherwise exact and case-sensitive.
bool equal(std::string_view a, std::string_view b);

// Full Unicode lower-case mapping (not tailored to a language).
std::string lower(std::string_view s);

// Whether `haystack` contains `needle`, ignoring case under the current locale.
bool containsIgnoringCase(std::string_view haystack, std::string_view needle);

// Every U+000A replaced by one space.
std::string lineFeedsToSpaces(std::string_view s);

// A coordinate truncated toward zero; NaN gives 0 and values beyond the
// signed 64-bit range give its nearest end.
std::int64_t truncate(double v);

}  // namespace ombru::ax::text
