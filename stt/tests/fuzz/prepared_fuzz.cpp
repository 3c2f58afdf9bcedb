// Feeds arbitrary bytes to the two readers of the prepared dictionary: the
// check that a cached file is whole and made from the model as it is now,
// and the cut of the model's dictionary to the language model's words.
// Neither may crash, and the cut may keep only whole lines of the input
// that spell a wanted word.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unordered_set>

#include "prepared_dictionary.hpp"

namespace {

// What modelIdentity gives for a dictionary and a language model.
const std::string kIdentity =
    "/model/cmudict-en-us.dict 2049 131 3962243 1672531200.5 1672531200.5\n"
    "/model/en-us.lm.bin 2049 132 29208442 1672531200.5 1672531200.5";

bool spellsAWantedWord(std::string_view line, const std::unordered_set<std::string>& words) {
  for (const auto& word : words) {
    if (!line.starts_with(word)) continue;
    const std::string_view rest = line.substr(word.size());
    if (rest.empty() || rest[0] == ' ' || rest[0] == '\t' || rest[0] == '(') return true;
  }
  return false;
}

bool wholeLineAt(std::string_view text, size_t at, size_t length) {
  const size_t end = at + length;
  return (at == 0 || text[at - 1] == '\n') && (end == text.size() || text[end] == '\n');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)stt::isWholePreparedText(text, kIdentity);

  static const std::unordered_set<std::string> words{"a", "go", "forward", "ten", "meters"};
  const std::string cut = stt::cutDictionary(text, words);
  if (!cut.empty() && cut.back() != '\n') std::abort();
  std::string_view rest(cut);
  size_t from = 0;
  while (!rest.empty()) {
    const std::string_view line = rest.substr(0, rest.find('\n'));
    rest.remove_prefix(line.size() + 1);
    if (!spellsAWantedWord(line, words)) std::abort();
    // In the input's order, as a line of its own.
    size_t at = text.find(line, from);
    while (at != std::string_view::npos && !wholeLineAt(text, at, line.size()))
      at = text.find(line, at + 1);
    if (at == std::string_view::npos) std::abort();
    from = at + line.size();
  }
  return 0;
}
