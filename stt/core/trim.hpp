#pragma once

#include <string>
#include <string_view>

namespace stt {

// True for Unicode Z (separators), tab, U+000A to U+000D and U+0085.
bool isWhitespaceOrNewline(char32_t c);

// Removes leading and trailing white space and line breaks from UTF-8 text.
// Bytes that are not valid UTF-8 count as text and are kept.
std::string trimWhitespaceAndNewlines(std::string_view text);

}  // namespace stt
