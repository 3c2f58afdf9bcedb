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

namespace stt {
namespace {

namespace fs = std::filesystem;

// The engine skips lines that begin with "##", so the header needs no file
// of its own.
constexpr std::string_view kHeader = "## ombru-stt prepared dictionary ";
constexpr int kFormat = 1;

uint64_t fnv1a(std::string_view bytes) {
  uint64_t hash = 14695981039346656037ull;
  for (const char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

std::string hex(uint64_t value) {
  char text[17];
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
  return cache / ("dictionary-" + hex(fnv1a(identity)) + ".dict");
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
    return fs::path(xdg) / "ombru-stt";
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    return fs::path(home) / ".cache" / "ombru-stt";
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
  if (!text) return std::nullopt;
  const size_t newline = text->find('\n');
  if (newline == std::string::npos) return std::nullopt;
  const std::string_view body = std::string_view(*text).substr(newline + 1);
  if (std::string_view(*text).substr(0, newline + 1) != headerLine(*identity, body)) {
    return std::nullopt;
  }
  return path;
}

bool writePreparedDictionary(const fs::path& cache, const fs::path& dict, const fs::path& lm,
                             const std::string& identity,
                             const std::unordered_set<std::string>& words) {
  const auto full = readWhole(dict);
  if (!full) return false;
  std::string body;
  body.reserve(full->size() / 2);
  std::string_view rest(*full);
  std::string word;
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    word.assign(baseWord(line));
    if (!word.empty() && words.contains(word)) {
      body.append(line);
      body.push_back('\n');
    }
  }
  // The words and the dictionary must come from the same files.
  if (modelIdentity(dict, lm) != identity) return false;

  std::error_code error;
  fs::create_directories(cache, error);
  std::string temporary = (cache / "dictionary-XXXXXX").string();
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) return false;
  const std::string header = headerLine(identity, body);
  bool ok = true;
  for (std::string_view part : {std::string_view(header), std::string_view(body)}) {
    while (ok && !part.empty()) {
      const ssize_t n = ::write(fd, part.data(), part.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ok = false;
        break;
      }
      part.remove_prefix(static_cast<size_t>(n));
    }
  }
  ok = ::fchmod(fd, 0644) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
  if (ok) ok = ::rename(temporary.c_str(), preparedPath(cache, identity).c_str()) == 0;
  if (!ok) ::unlink(temporary.c_str());
  return ok;
}

}  // namespace stt
