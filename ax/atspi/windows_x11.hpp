// The X server side: the display connection, the window list the way a
// window server reports it, and bringing an application to the front.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform.hpp"
#include "reader_atspi.hpp"

typedef struct _XDisplay Display;

namespace ombru::ax::desktop {

// Layer a window of this _NET_WM_WINDOW_TYPE is reported on: ordinary and
// dialog windows share layer 0, the others float above it. `type` is the
// atom's name without the "_NET_WM_WINDOW_TYPE_" prefix ("" when unset).
std::int64_t layerOfType(const std::string& type);

class X11 {
 public:
  X11() = default;
  ~X11();
  X11(const X11&) = delete;
  X11& operator=(const X11&) = delete;

  // The display, opened on first use; null when there is none.
  Display* display();
  // The AT_SPI_BUS property of the root window, if set.
  std::optional<std::string> atspiBusAddress();
  // On-screen client windows, front to back, as window-information entries.
  // `ownerName` gives the name of the application with a pid, if known.
  std::optional<std::vector<WindowValue>> windowList(
      const std::function<std::optional<std::string>(std::int64_t)>& ownerName);
  // Brings the front-most window of the process forward and focuses it.
  void activate(std::int64_t pid);
  // The screen position of the process's viewable window: its one window,
  // or, given `hint`, the one window of the hint's title (and, among several
  // of that title, of its size); empty when none or several fit, so a place
  // is never guessed.
  std::optional<Point> originOf(std::int64_t pid, const WindowHint* hint = nullptr);
  // The frames of the X screens' root windows.
  std::vector<Area> screens();
  void close();

 private:
  bool wmRunning();
  std::vector<unsigned long> clients(bool stacking);

  Display* display_ = nullptr;
  bool tried_ = false;
};

}  // namespace ombru::ax::desktop
