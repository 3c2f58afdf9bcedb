// The names a user sees for an application: its desktop entry's Name (in
// the user's language) and its desktop-file id, found for a running process.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ombru::ax::desktop {

struct DesktopEntry {
  std::string id;       // the file name less ".desktop": "org.gajim.Gajim"
  std::string name;     // Name, localized where the entry has the user's language
  std::string program;  // the file name of Exec's program: "gajim"
};

// The [Desktop Entry] group of a desktop file's text: Name localized for
// `locale` (as in LC_MESSAGES: "de_DE.UTF-8@euro"), and Exec's program.
// Empty when the text is no application entry (no group, no Name).
std::optional<DesktopEntry> parseDesktopEntry(std::string_view text, std::string_view id,
                                              std::string_view locale);

// Every application entry in the `applications` folders of these data
// folders, the first of one id winning (XDG_DATA_HOME before XDG_DATA_DIRS).
std::vector<DesktopEntry> loadDesktopEntries(const std::vector<std::string>& dataDirs,
                                             std::string_view locale);
// The data folders of this process's environment, in order of precedence.
std::vector<std::string> dataDirs();
// The user's message locale from the environment.
std::string messageLocale();

// The entry that belongs to a process: the one whose id is the name the
// application gives itself on the accessibility bus, else the one whose
// program is the process's: its executable or one of the first two words of
// its command line (a script's interpreter comes first), else the one whose
// id ends in "." and that name, letter case aside. `words` are those names,
// file names only.
const DesktopEntry* entryOf(const std::vector<DesktopEntry>& entries, std::string_view busName,
                            const std::vector<std::string>& words);
// The names of a process that `entryOf` matches against.
std::vector<std::string> processWords(std::int64_t pid);

}  // namespace ombru::ax::desktop
