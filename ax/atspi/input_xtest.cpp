#include "input_xtest.hpp"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <cstdlib>

namespace ombru::ax::desktop {
namespace {

struct PointerEvent final : Event {
  enum class Kind { Mouse, Wheel } kind = Kind::Mouse;
  MouseEventType type = MouseEventType::Moved;
  Point at;
  bool placed = false;
  bool nowhere = false;  // placed at a point no pixel stands for
  std::int32_t lines = 0;
};

void moveTo(Display* d, Point p) {
  if (std::optional<Pixel> at = pixelOf(p))
    XTestFakeMotionEvent(d, DefaultScreen(d), at->x, at->y, CurrentTime);
}

}  // namespace

bool XTestInput::available() {
  if (checked_ == 0) {
    Display* d = x11_.display();
    int event = 0, error = 0, major = 0, minor = 0;
    checked_ = d && XTestQueryExtension(d, &event, &error, &major, &minor) ? 1 : -1;
  }
  return checked_ > 0;
}

EventRef XTestInput::mouse(MouseEventType type, Point at) {
  // A click at no pixel would land wherever the pointer happens to be.
  if (!available() || !pixelOf(at)) return nullptr;
  auto e = std::make_unique<PointerEvent>();
  e->kind = PointerEvent::Kind::Mouse;
  e->type = type;
  e->at = at;
  e->placed = true;
  return e;
}

EventRef XTestInput::wheel(std::int32_t lines) {
  if (!available()) return nullptr;
  auto e = std::make_unique<PointerEvent>();
  e->kind = PointerEvent::Kind::Wheel;
  e->lines = lines;
  return e;
}

void XTestInput::place(Event& event, Point at) {
  auto* e = dynamic_cast<PointerEvent*>(&event);
  if (!e) return;
  e->at = at;
  e->placed = true;
  e->nowhere = !pixelOf(at);
}

void XTestInput::post(Event& event) {
  auto* e = dynamic_cast<PointerEvent*>(&event);
  Display* d = x11_.display();
  if (!e || !d || e->nowhere) return;
  // An event at a point reaches what lies under that point, so the pointer
  // goes there first, as it would with real hardware.
  if (e->placed) moveTo(d, e->at);
  if (e->kind == PointerEvent::Kind::Mouse) {
    if (e->type == MouseEventType::LeftDown) XTestFakeButtonEvent(d, 1, True, CurrentTime);
    if (e->type == MouseEventType::LeftUp) XTestFakeButtonEvent(d, 1, False, CurrentTime);
  } else {
    // Negative lines scroll toward the end of a list: button 5, one click
    // per line; positive lines go back with button 4.
    unsigned int button = e->lines < 0 ? 5 : 4;
    std::int64_t clicks = std::llabs(static_cast<std::int64_t>(e->lines));
    for (std::int64_t i = 0; i < clicks; ++i) {
      XTestFakeButtonEvent(d, button, True, CurrentTime);
      XTestFakeButtonEvent(d, button, False, CurrentTime);
      // Hand the clicks over one by one so the target sees each notch.
      if (i % 8 == 7) XSync(d, False);
    }
  }
  XSync(d, False);
}

}  // namespace ombru::ax::desktop
