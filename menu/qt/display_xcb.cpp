#include <xcb/xcb.h>

#include <QGuiApplication>
#include <cstdlib>
#include <cstring>
#include <memory>
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

namespace {

struct FreeReply {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeReply>;

xcb_atom_t atom(xcb_connection_t* c, const std::string& name) {
  xcb_generic_error_t* error = nullptr;
  const Reply<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(
      c, xcb_intern_atom(c, 0, static_cast<uint16_t>(name.size()), name.c_str()), &error));
  std::free(error);
  return r ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
}

}  // namespace

std::optional<QColor> trayForeground() {
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  xcb_connection_t* c = x11 ? x11->connection() : nullptr;
  if (!c) return std::nullopt;
  // The tray of the screen named in DISPLAY; the names are asked once.
  static const xcb_atom_t colors = atom(c, "_NET_SYSTEM_TRAY_COLORS");
  static const xcb_atom_t selection = [c] {
    int screen = 0;
    char* host = nullptr;
    int display = 0;
    if (xcb_parse_display(nullptr, &host, &display, &screen) == 0) screen = 0;
    std::free(host);
    return atom(c, "_NET_SYSTEM_TRAY_S" + std::to_string(screen));
  }();
  if (colors == XCB_ATOM_NONE || selection == XCB_ATOM_NONE) return std::nullopt;
  // Errors are taken here, not left to Qt's queue, where a tray that just
  // went would be reported as a warning.
  xcb_generic_error_t* error = nullptr;
  const Reply<xcb_get_selection_owner_reply_t> owner(
      xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), &error));
  std::free(error);
  if (!owner || owner->owner == XCB_WINDOW_NONE) return std::nullopt;
  error = nullptr;
  const Reply<xcb_get_property_reply_t> prop(xcb_get_property_reply(
      c, xcb_get_property(c, 0, owner->owner, colors, XCB_ATOM_CARDINAL, 0, 12), &error));
  std::free(error);
  // Four colours of three 16-bit channels each, the foreground first.
  uint32_t v[3];
  if (!prop || prop->format != 32 ||
      xcb_get_property_value_length(prop.get()) < static_cast<int>(sizeof v))
    return std::nullopt;
  std::memcpy(v, xcb_get_property_value(prop.get()), sizeof v);
  return QColor::fromRgba64(static_cast<quint16>(v[0]), static_cast<quint16>(v[1]),
                            static_cast<quint16>(v[2]));
}

}  // namespace ombru::menu::qt
