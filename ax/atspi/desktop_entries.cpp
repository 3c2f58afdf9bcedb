#include "desktop_entries.hpp"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace ombru::ax::desktop {
namespace {

constexpr std::size_t kLargestEntry = 1 << 20;  // bytes read of one desktop file

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

std::string baseName(std::string_view path) {
  const auto slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// The keys a localized value may have, best first: lang_COUNTRY@MODIFIER,
// lang_COUNTRY, lang@MODIFIER, lang.
std::vector<std::string> localeKeys(std::string_view locale) {
  std::string l(locale);
  std::string modifier;
  if (auto at = l.find('@'); at != std::string::npos) {
    modifier = l.substr(at);
    l.resize(at);
  }
  if (auto dot = l.find('.'); dot != std::string::npos) l.resize(dot);
  std::vector<std::string> out;
  if (l.empty() || l == "C" || l == "POSIX") return out;
  const std::string lang = l.substr(0, l.find('_'));
  if (!modifier.empty()) out.push_back(l + modifier);
  out.push_back(l);
  if (lang != l) {
    if (!modifier.empty()) out.push_back(lang + modifier);
    out.push_back(lang);
  }
  return out;
}

// Exec's program: its first word, unquoted, as a file name.
std::string programOf(std::string_view exec) {
  exec = trim(exec);
  std::string word;
  if (!exec.empty() && exec.front() == '"') {
    const auto end = exec.find('"', 1);
    word = std::string(exec.substr(1, end == std::string_view::npos ? end : end - 1));
  } else {
    word = std::string(exec.substr(0, exec.find_first_of(" \t")));
  }
  return baseName(word);
}

}  // namespace

std::optional<DesktopEntry> parseDesktopEntry(std::string_view text, std::string_view id,
                                              std::string_view locale) {
  const std::vector<std::string> keys = localeKeys(locale);
  bool inEntry = false, application = true;
  std::string name, exec;
  std::size_t best = keys.size() + 1;  // rank of the Name taken; the plain Name ranks last
  std::size_t at = 0;
  while (at <= text.size()) {
    auto end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = trim(text.substr(at, end - at));
    at = end + 1;
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      inEntry = line == "[Desktop Entry]";
      continue;
    }
    if (!inEntry) continue;
    const auto eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = trim(line.substr(0, eq));
    const std::string_view value = trim(line.substr(eq + 1));
    if (key == "Type") application = value == "Application";
    if (key == "Exec") exec = std::string(value);
    if (key == "Name" && best > keys.size()) {
      name = std::string(value);
      best = keys.size();
    }
    if (key.size() > 6 && key.substr(0, 5) == "Name[" && key.back() == ']') {
      const std::string_view lang = key.substr(5, key.size() - 6);
      for (std::size_t i = 0; i < keys.size() && i < best; ++i) {
        if (keys[i] == lang) {
          name = std::string(value);
          best = i;
        }
      }
    }
  }
  if (!application || name.empty() || id.empty()) return std::nullopt;
  return DesktopEntry{std::string(id), std::move(name), programOf(exec)};
}

std::vector<DesktopEntry> loadDesktopEntries(const std::vector<std::string>& dirs,
                                             std::string_view locale) {
  std::vector<DesktopEntry> out;
  std::set<std::string> seen;
  for (const std::string& dir : dirs) {
    std::error_code ec;
    const std::filesystem::path apps = std::filesystem::path(dir) / "applications";
    for (std::filesystem::recursive_directory_iterator it(apps, ec), end; !ec && it != end;
         it.increment(ec)) {
      const std::filesystem::path& p = it->path();
      if (p.extension() != ".desktop" || !it->is_regular_file(ec)) continue;
      // The id of a file in a subfolder joins the folders with "-".
      std::string id = std::filesystem::relative(p, apps, ec).replace_extension().string();
      for (char& c : id) c = c == '/' ? '-' : c;
      if (ec || !seen.insert(id).second) continue;
      std::ifstream in(p, std::ios::binary);
      std::string text(kLargestEntry, '\0');
      in.read(text.data(), static_cast<std::streamsize>(text.size()));
      text.resize(static_cast<std::size_t>(in.gcount()));
      if (auto e = parseDesktopEntry(text, id, locale)) out.push_back(std::move(*e));
    }
  }
  return out;
}

std::vector<std::string> dataDirs() {
  std::vector<std::string> out;
  const char* home = std::getenv("XDG_DATA_HOME");
  if (home && *home) {
    out.emplace_back(home);
  } else if (const char* h = std::getenv("HOME"); h && *h) {
    out.push_back(std::string(h) + "/.local/share");
  }
  const char* dirs = std::getenv("XDG_DATA_DIRS");
  std::stringstream list(dirs && *dirs ? dirs : "/usr/local/share:/usr/share");
  for (std::string d; std::getline(list, d, ':');) {
    if (!d.empty()) out.push_back(d);
  }
  return out;
}

std::string messageLocale() {
  for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = std::getenv(var);
    if (v && *v) return v;
  }
  return "";
}

const DesktopEntry* entryOf(const std::vector<DesktopEntry>& entries, std::string_view busName,
                            const std::vector<std::string>& words) {
  for (const DesktopEntry& e : entries) {
    if (!busName.empty() && e.id == busName) return &e;
  }
  for (const std::string& w : words) {
    for (const DesktopEntry& e : entries) {
      if (!w.empty() && e.program == w) return &e;
    }
  }
  // An application started through D-Bus activation ("gapplication launch
  // org.gnome.Polari") is named by the last part of its id.
  auto lower = [](std::string s) {
    for (char& c : s) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    return s;
  };
  for (const std::string& w : words) {
    for (const DesktopEntry& e : entries) {
      const auto dot = e.id.rfind('.');
      if (!w.empty() && dot != std::string::npos && lower(e.id.substr(dot + 1)) == lower(w)) {
        return &e;
      }
    }
  }
  return nullptr;
}

std::vector<std::string> processWords(std::int64_t pid) {
  std::vector<std::string> out;
  if (pid <= 0) return out;
  const std::string base = "/proc/" + std::to_string(pid);
  char buf[4096];
  const ssize_t n = readlink((base + "/exe").c_str(), buf, sizeof buf - 1);
  if (n > 0) out.push_back(baseName(std::string_view(buf, static_cast<std::size_t>(n))));
  std::ifstream cmd(base + "/cmdline", std::ios::binary);
  std::string word;
  for (int i = 0; i < 2 && std::getline(cmd, word, '\0'); ++i) out.push_back(baseName(word));
  std::ifstream comm(base + "/comm");
  if (std::getline(comm, word)) out.push_back(word);
  return out;
}

}  // namespace ombru::ax::desktop
