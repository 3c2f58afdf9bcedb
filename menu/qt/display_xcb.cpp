#include <xcb/xcb.h>

#include <cstdlib>
#include <string_view>

#include "display.hpp"

namespace ombru::menu::qt {

std::optional<std::string> displayProblem() {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  const std::string_view chosen = platform ? platform : "";
  const bool wayland = std::getenv("WAYLAND_DISPLAY") != nullptr;
  // Qt picks the platform itself when none is named; it may then choose
  // Wayland, which this check leaves to Qt.
  const bool xcb = chosen == "xcb" || chosen.substr(0, 4) == "xcb:";  // "xcb:option=..."
  if (!chosen.empty() ? !xcb : wayland) return std::nullopt;
  const char* name = std::getenv("DISPLAY");
  if (!name || !*name) return std::string("no display: DISPLAY is not set");
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  const bool failed = xcb_connection_has_error(c) != 0;
  xcb_disconnect(c);
  if (failed) return "cannot open display " + std::string(name);
  return std::nullopt;
}

}  // namespace ombru::menu::qt
