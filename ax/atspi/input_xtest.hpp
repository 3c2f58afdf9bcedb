// Synthetic pointer input through the XTest extension.
#pragma once

#include <cstdint>

#include "platform.hpp"
#include "windows_x11.hpp"

namespace ombru::ax::desktop {

class XTestInput {
 public:
  explicit XTestInput(X11& x11) : x11_(x11) {}

  // Null when there is no display or it lacks XTest.
  EventRef mouse(MouseEventType type, Point at);
  EventRef wheel(std::int32_t lines);
  void place(Event& event, Point at);
  void post(Event& event);

 private:
  bool available();

  X11& x11_;
  int checked_ = 0;  // 0 not yet, 1 available, -1 not
};

}  // namespace ombru::ax::desktop
