#include <algorithm>
#include <limits>

#include "tool.hpp"

namespace ombru::ax {

using namespace std::chrono_literals;

namespace {

std::optional<Element> parentOf(Tool& t, const Element& e) {
  std::optional<Value> v = copyAttr(t, e, "AXParent");
  if (!v || v->shape != Value::Shape::Element || v->elements.empty() || !v->elements[0]) {
    return std::nullopt;
  }
  return v->elements[0];
}

bool offersPress(const std::optional<std::vector<std::string>>& names) {
  return names && std::find(names->begin(), names->end(), "AXPress") != names->end();
}

}  // namespace

bool press(Tool& t, const Hit& hit) {
  Platform& p = t.platform;
  const Point at{hit.rect.midX(), hit.rect.midY()};
  EventRef move = p.createMouseEvent(MouseEventType::Moved, at);
  EventRef down = move ? p.createMouseEvent(MouseEventType::LeftDown, at) : nullptr;
  EventRef up = down ? p.createMouseEvent(MouseEventType::LeftUp, at) : nullptr;
  if (move && down && up) {
    p.post(*move);
    p.sleepFor(40000us);
    p.post(*down);
    p.sleepFor(60000us);
    p.post(*up);
    return true;
  }
  move.reset();
  down.reset();
  up.reset();

  constexpr int kElementsTried = 6;
  std::optional<Element> e = hit.element;
  for (int tried = 1; tried <= kElementsTried; ++tried) {
    if (!e || !*e) return false;
    if (offersPress(p.copyActionNames(*e)) && p.performAction(*e, "AXPress")) return true;
    e = parentOf(t, *e);
  }
  return false;
}

void scrollSidebar(Tool& t, const Element& window, std::int32_t notches) {
  Platform& p = t.platform;
  std::optional<Rect> f = frame(t, window);
  if (!f) return;
  const Point at{f->minX() + 120, f->minY() + f->h() * 0.55};
  if (EventRef move = p.createMouseEvent(MouseEventType::Moved, at)) p.post(*move);
  // Negated in 64 bits: the smallest 32-bit value has no 32-bit negation.
  const std::int64_t delta = std::clamp<std::int64_t>(-static_cast<std::int64_t>(notches),
                                                      std::numeric_limits<std::int32_t>::min(),
                                                      std::numeric_limits<std::int32_t>::max());
  if (EventRef wheel = p.createScrollWheelEvent(static_cast<std::int32_t>(delta))) {
    p.setLocation(*wheel, at);
    p.post(*wheel);
  }
  p.sleepFor(350000us);
}

}  // namespace ombru::ax
