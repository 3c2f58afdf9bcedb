// PocketSphinx gives bare lower-case words. Each decoded segment becomes a
// sentence: a capital first letter, the pronoun "I" capitalised, and a full
// stop at the end.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace stt {

// Empty for a text of no words.
std::string asSentence(std::string_view words);

// The sentences of the non-empty texts, in order, one space apart.
std::string joinSentences(const std::vector<std::string>& texts);

}  // namespace stt
