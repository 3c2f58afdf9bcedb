// Word error counting for transcripts against their reference texts.
#pragma once

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

// Words in lower case, with punctuation gone, so that a transcript and its
// reference compare as words alone.
inline std::vector<std::string> wordsOf(const std::string& text) {
  std::string plain;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    plain += std::isalpha(u) || c == '\'' ? static_cast<char>(std::tolower(u)) : ' ';
  }
  std::istringstream in(plain);
  return {std::istream_iterator<std::string>(in), {}};
}

// Word-level edit distance: substitutions, insertions and deletions.
inline size_t wordErrors(const std::vector<std::string>& ref, const std::vector<std::string>& hyp) {
  std::vector<size_t> row(hyp.size() + 1);
  for (size_t j = 0; j <= hyp.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= ref.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= hyp.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (ref[i - 1] != hyp[j - 1])});
      diagonal = above;
    }
  }
  return row[hyp.size()];
}

// The clips a corpus directory holds, in order: clip-01, clip-02, ... (or
// another prefix) each a .wav with its reference .txt beside it, given
// without the extension.
inline std::vector<std::string> corpusClips(const std::string& dir,
                                            const std::string& prefix = "clip") {
  std::vector<std::string> clips;
  for (int n = 1;; ++n) {
    const auto stem = dir + "/" + prefix + (n < 10 ? "-0" : "-") + std::to_string(n);
    if (!std::ifstream(stem + ".wav")) break;
    clips.push_back(stem);
  }
  return clips;
}
