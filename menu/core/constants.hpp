#pragma once
// Fixed configuration of ombru-menu. Everything the application may not tune
// at run time lives here, so the toolkit layer and the tests read one source.

#include <array>
#include <cstdint>
#include <string_view>

namespace ombru::menu {

// The daemon's base address; a request address is DAEMON followed directly by
// a path that begins with "/".
inline constexpr std::string_view DAEMON = "http://127.0.0.1:8765";
inline constexpr std::string_view STATE_PATH = "/state";

// Timing, in seconds. Fixed, never adaptive.
inline constexpr double POLL_INTERVAL = 3.0;          // repeating "/state" poll
inline constexpr double GET_TIMEOUT = 2.5;            // "/state" request time-out
inline constexpr double POST_TIMEOUT = 3.0;           // command request time-out
inline constexpr double START_REFRESH_DELAY = 2.0;    // poll after "Start Ombru"
inline constexpr double RESTART_REFRESH_DELAY = 3.0;  // poll after "Restart Ombru"

// Status item.
inline constexpr double MARK_SIZE = 18.0;  // points; drawn as a template image
inline constexpr std::string_view INITIAL_TOOL_TIP = "Ombru Voice";

// Menu.
inline constexpr double HEADER_FONT_SIZE = 13.0;  // system font, semibold
inline constexpr std::array<std::int64_t, 6> MINUTE_CHOICES = {2, 5, 10, 20, 30, 60};
inline constexpr std::int64_t TAKEAWAY_LIMIT = 58;  // user-perceived characters
inline constexpr std::int64_t TITLE_LIMIT = 40;     // user-perceived characters

// Files and commands of the daemon, for the process-control actions.
// The two file suffixes are appended directly to the home directory.
inline constexpr std::string_view LOG_SUFFIX = "/.local/state/ombru/ombru.log";
inline constexpr std::string_view CONFIG_SUFFIX = "/.config/ombru/config.toml";
// Run through "/bin/bash" "-lc" with the words joined by single spaces; the
// login shell expands the tilde.
inline constexpr std::array<std::string_view, 3> BRAIN_WORDS = {"~/.local/bin/ombru", "you",
                                                                "edit"};

}  // namespace ombru::menu
