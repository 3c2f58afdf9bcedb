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
inline constexpr std::string_view INITIAL_TOOL_TIP = "Ombru Voice";

// The status item's three looks. Each has one row of LOOKS: the mark's
// opacity, the symbolic icon that carries it, and the tool tip (an em dash
// with one space on each side).
enum class Look { listening, muted, notRunning };
struct LookStyle {
  Look look;
  double opacity;
  std::string_view iconName;
  std::string_view toolTip;
};
inline constexpr std::array<LookStyle, 3> LOOKS = {{
    {Look::listening, 1.0, "ombru-menu-symbolic", "Ombru Voice \u2014 listening"},
    {Look::muted, 0.35, "ombru-menu-muted-symbolic", "Ombru Voice \u2014 muted"},
    {Look::notRunning, 0.25, "ombru-menu-off-symbolic", "Ombru Voice \u2014 not running"},
}};

// Panel icon sizes in pixels (panels of 16 to 48 px). The mark is drawn on
// whole pixels at each of them and at their doubles (screens scaled by two).
inline constexpr std::array<int, 5> PANEL_ICON_SIZES = {16, 22, 24, 32, 48};
// A host that takes the largest pixmap and scales it down to its smallest
// slot (waybar) gets the smallest drawing enlarged by this whole factor.
inline constexpr int LARGEST_PIXMAP_FACTOR = 6;

// Re-registration with a tray watcher that dropped the item: attempts per
// watcher before giving up until the watcher changes, the pause between a
// failed attempt and the next, and how long a registration must stand
// before the attempts count from zero again.
inline constexpr int REGISTER_ATTEMPTS = 5;
inline constexpr double REGISTER_RETRY_DELAY = 1.0;  // seconds
inline constexpr double REGISTER_SETTLE = 10.0;      // seconds

// The desktop's colour-scheme preference as the settings portal gives it.
inline constexpr std::uint32_t COLOR_SCHEME_NONE = 0;
inline constexpr std::uint32_t COLOR_SCHEME_DARK = 1;
inline constexpr std::uint32_t COLOR_SCHEME_LIGHT = 2;

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
