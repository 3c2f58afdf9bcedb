#include "punctuate.hpp"

#include <sstream>

namespace stt {

std::string asSentence(std::string_view words) {
  std::istringstream in{std::string(words)};
  std::string sentence, word;
  while (in >> word) {
    if (word == "i" || word.starts_with("i'")) word[0] = 'I';
    if (sentence.empty()) {
      if (word[0] >= 'a' && word[0] <= 'z') word[0] = static_cast<char>(word[0] - 'a' + 'A');
    } else {
      sentence += ' ';
    }
    sentence += word;
  }
  if (!sentence.empty()) sentence += '.';
  return sentence;
}

std::string joinSentences(const std::vector<std::string>& texts) {
  std::string joined;
  for (const auto& text : texts) {
    const std::string sentence = asSentence(text);
    if (sentence.empty()) continue;
    if (!joined.empty()) joined += ' ';
    joined += sentence;
  }
  return joined;
}

}  // namespace stt
