// The pronunciation dictionary cut to the words the language model can
// produce. The engine never searches a word its language model lacks, so
// the cut dictionary hears the same words, and loads in less time.
//
// It lives in a cache keyed by the identity of the dictionary and language
// model files (device, inode, size, modification and change times), with a
// checksum of its own: a changed model or a damaged file is never used, and
// the engine then loads the full files.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

namespace stt {

// The cache folder: $XDG_CACHE_HOME/ombru-stt, or ~/.cache/ombru-stt; absent
// when neither variable gives an absolute path.
std::optional<std::filesystem::path> cacheDirectory();

// Names the dictionary and language model files as they are now; absent
// when either cannot be looked at.
std::optional<std::string> modelIdentity(const std::filesystem::path& dict,
                                         const std::filesystem::path& lm);

// The prepared dictionary for these files, when the cache holds one made
// from them as they are now and it is whole.
std::optional<std::filesystem::path> findPreparedDictionary(const std::filesystem::path& cache,
                                                            const std::filesystem::path& dict,
                                                            const std::filesystem::path& lm);

// Whether `text` is a whole prepared file made from the files of
// `identity`: its first line names them and the checksum of the rest.
bool isWholePreparedText(std::string_view text, const std::string& identity);

// The lines of `dictionary` whose word, alternate pronunciations ("word(2)")
// included, is in `words`, each ending in a line break.
std::string cutDictionary(std::string_view dictionary,
                          const std::unordered_set<std::string>& words);

// Writes the prepared dictionary: every entry of `dict` (alternate
// pronunciations too) whose word is in `words`, the language model's words.
// `identity` is the files' identity when `words` were read; nothing is
// written if they changed since. The file appears whole or not at all, so
// runs that race each write theirs and one of them stays. False on any
// trouble, which only costs the next run the full load. Once the file is in
// place, the files prepared from other versions of the model go; nothing
// else in `cache` is touched, and failing to remove one is no failure.
bool writePreparedDictionary(const std::filesystem::path& cache, const std::filesystem::path& dict,
                             const std::filesystem::path& lm, const std::string& identity,
                             const std::unordered_set<std::string>& words);

}  // namespace stt
