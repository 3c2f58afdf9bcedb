#pragma once
// Whether the window system can be reached before Qt tries: Qt's X11
// platform aborts (SIGABRT, core dump) when the display cannot be opened,
// which a tray application started with the session can meet while the
// display is not up yet or already gone.

#include <QColor>
#include <optional>
#include <string>

namespace ombru::menu::qt {

// A one-line reason when Qt would open an X display that cannot be opened
// now; none when it can, or when Qt will use another platform.
std::optional<std::string> displayProblem();

// The foreground colour the X11 system tray asks its icons to take (the
// panel's text colour, which xfce4-panel advertises), or none: not on X11,
// no tray, or a tray that says nothing.
std::optional<QColor> trayForeground();

}  // namespace ombru::menu::qt
