#include "prepared_dictionary.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string_view>

#include "constants.hpp"
#include "output.hpp"

namespace stt {
namespace {

namespace fs = std::filesystem;

// The engine skips lines that begin with "##", so the header needs no file
// of its own.
constexpr std::string_view kHeader = "## ombru-stt prepared dictionary ";
constexpr int kFormat = 1;

// FNV-1a, 64-bit: enough to tell model versions and damage apart; nothing
// here defends against a forger, who could write the cache folder anyway.
constexpr uint64_t kFnvOffsetBasis = 14695981039346656037ull;
constexpr uint64_t kFnvPrime = 1099511628211ull;

uint64_t fnv1a(std::string_view bytes) {
  uint64_t hash = kFnvOffsetBasis;
  for (const char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= kFnvPrime;
  }
  return hash;
}

// Digits of a hash as hex() writes it: all of them, lower case.
constexpr size_t kHashDigits = 16;
constexpr std::string_view kHexDigits = "0123456789abcdef";

std::string hex(uint64_t value) {
  char text[kHashDigits + 1];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

std::optional<std::string> fileIdentity(const fs::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  std::ostringstream id;
  id << path.string() << ' ' << info.st_dev << ' ' << info.st_ino << ' ' << info.st_size << ' '
     << info.st_mtim.tv_sec << '.' << info.st_mtim.tv_nsec << ' ' << info.st_ctim.tv_sec << '.'
     << info.st_ctim.tv_nsec;
  return id.str();
}

fs::path preparedPath(const fs::path& cache, const std::string& identity) {
  return cache /
         (std::string(kPreparedPrefix) + hex(fnv1a(identity)) + std::string(kPreparedSuffix));
}

// The name of a whole prepared file, as preparedPath makes it. Temporary
// files of runs still writing do not have one.
bool isPreparedName(std::string_view name) {
  if (!name.starts_with(kPreparedPrefix) || !name.ends_with(kPreparedSuffix)) return false;
  name.remove_prefix(kPreparedPrefix.size());
  name.remove_suffix(kPreparedSuffix.size());
  return name.size() == kHashDigits && name.find_first_not_of(kHexDigits) == std::string_view::npos;
}

// Files prepared from earlier versions of the model are never read again,
// and each is the size of half the dictionary. Only regular files with our
// own name go: a link is never followed nor removed, and any trouble just
// leaves a file behind, since the new one is already in place.
void removeOtherPrepared(const fs::path& cache, const fs::path& keep) noexcept {
  try {
    std::error_code error;
    for (fs::directory_iterator it(cache, error), end; !error && it != end; it.increment(error)) {
      const fs::path name = it->path().filename();
      if (name == keep.filename() || !isPreparedName(name.native())) continue;
      std::error_code statError;
      const auto status = it->symlink_status(statError);
      if (statError || !fs::is_regular_file(status)) continue;
      ::unlink(it->path().c_str());
    }
  } catch (...) {
    // Out of memory while listing: the old files stay until the next update.
  }
}

std::string headerLine(const std::string& identity, std::string_view body) {
  return std::string(kHeader) + std::to_string(kFormat) + ' ' + hex(fnv1a(identity)) + ' ' +
         hex(fnv1a(body)) + '\n';
}

std::optional<std::string> readWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return text.str();
}

// "word(2)" is the second pronunciation of "word".
std::string_view baseWord(std::string_view line) {
  const size_t end = line.find_first_of(" \t");
  std::string_view word = line.substr(0, end);
  if (word.size() > 3 && word.back() == ')') {
    const size_t open = word.rfind('(');
    if (open != std::string_view::npos && open > 0 && open + 2 < word.size() &&
        word.substr(open + 1, word.size() - open - 2).find_first_not_of("0123456789") ==
            std::string_view::npos) {
      word = word.substr(0, open);
    }
  }
  return word;
}

}  // namespace

std::optional<fs::path> cacheDirectory() {
  if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg != nullptr && xdg[0] == '/') {
    return fs::path(xdg) / kCacheFolder;
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    return fs::path(home) / ".cache" / kCacheFolder;
  }
  return std::nullopt;
}

std::optional<std::string> modelIdentity(const fs::path& dict, const fs::path& lm) {
  auto d = fileIdentity(dict);
  auto l = fileIdentity(lm);
  if (!d || !l) return std::nullopt;
  return *d + '\n' + *l;
}

std::optional<fs::path> findPreparedDictionary(const fs::path& cache, const fs::path& dict,
                                               const fs::path& lm) {
  const auto identity = modelIdentity(dict, lm);
  if (!identity) return std::nullopt;
  const fs::path path = preparedPath(cache, *identity);
  const auto text = readWhole(path);
  if (!text || !isWholePreparedText(*text, *identity)) return std::nullopt;
  return path;
}

bool isWholePreparedText(std::string_view text, const std::string& identity) {
  const size_t newline = text.find('\n');
  if (newline == std::string_view::npos) return false;
  return text.substr(0, newline + 1) == headerLine(identity, text.substr(newline + 1));
}

std::string cutDictionary(std::string_view dictionary,
                          const std::unordered_set<std::string>& words) {
  std::string body;
  body.reserve(dictionary.size() / 2);  // about what the language model keeps
  std::string word;
  while (!dictionary.empty()) {
    const size_t end = dictionary.find('\n');
    const std::string_view line = dictionary.substr(0, end);
    dictionary = end == std::string_view::npos ? std::string_view() : dictionary.substr(end + 1);
    word.assign(baseWord(line));
    if (!word.empty() && words.contains(word)) {
      body.append(line);
      body.push_back('\n');
    }
  }
  return body;
}

bool writePreparedDictionary(const fs::path& cache, const fs::path& dict, const fs::path& lm,
                             const std::string& identity,
                             const std::unordered_set<std::string>& words) {
  const auto full = readWhole(dict);
  if (!full) return false;
  const std::string body = cutDictionary(*full, words);
  // The words and the dictionary must come from the same files.
  if (modelIdentity(dict, lm) != identity) return false;

  std::error_code error;
  fs::create_directories(cache, error);
  const fs::path target = preparedPath(cache, identity);
  if (!writeFileAtomically(target.string(), headerLine(identity, body) + body)) return false;
  removeOtherPrepared(cache, target);
  return true;
}

}  // namespace stt
