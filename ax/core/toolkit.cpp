#include <algorithm>
#include <array>

#include "constants.hpp"
#include "text.hpp"
#include "tool.hpp"

namespace ombru::ax {

using namespace std::chrono_literals;

std::optional<Value> copyAttr(Tool& t, const Element& e, std::string_view name) {
  if (!e) return std::nullopt;
  return t.platform.copyAttribute(e, name);
}

std::vector<Element> children(Tool& t, const Element& e) {
  std::optional<Value> v = copyAttr(t, e, attr::kChildren);
  if (!v || v->shape != Value::Shape::Elements) return {};
  // A backend that hands out an empty handle in a list has not given a list
  // of elements.
  for (const Element& c : v->elements) {
    if (!c) return {};
  }
  return std::move(v->elements);
}

std::string role(Tool& t, const Element& e) {
  std::optional<Value> v = copyAttr(t, e, attr::kRole);
  if (!v || v->shape != Value::Shape::Text) return {};
  return std::move(v->text);
}

std::string label(Tool& t, const Element& e) {
  static constexpr std::array<std::string_view, 3> kLabelAttributes = {attr::kValue, attr::kTitle,
                                                                       attr::kDescription};
  for (std::string_view name : kLabelAttributes) {
    std::optional<Value> v = copyAttr(t, e, name);
    if (!v || v->shape != Value::Shape::Text) continue;
    std::string trimmed = text::trimWhitespaceAndNewlines(v->text);
    if (!trimmed.empty()) return trimmed;
  }
  return {};
}

std::optional<Element> parentOf(Tool& t, const Element& e) {
  std::optional<Value> v = copyAttr(t, e, attr::kParent);
  if (!v || v->shape != Value::Shape::Element || v->elements.empty() || !v->elements[0]) {
    return std::nullopt;
  }
  return v->elements[0];
}

std::optional<Rect> frame(Tool& t, const Element& e) {
  std::optional<Value> pos = copyAttr(t, e, attr::kPosition);
  if (!pos || pos->shape == Value::Shape::Absent) return std::nullopt;
  std::optional<Value> size = copyAttr(t, e, attr::kSize);
  if (!size || size->shape == Value::Shape::Absent) return std::nullopt;
  if (pos->shape != Value::Shape::Point || size->shape != Value::Shape::Size) return std::nullopt;
  return Rect{pos->point.x, pos->point.y, size->size.width, size->size.height};
}

namespace {
void wakeWrites(Tool& t) {
  t.platform.setBoolAttribute(t.axApp, attr::kManualAccessibility, true);
  t.platform.setBoolAttribute(t.axApp, attr::kEnhancedUserInterface, true);
}
}  // namespace

void wake(Tool& t) {
  wakeWrites(t);
}

std::optional<Element> frontWindow(Tool& t) {
  for (int attempt = 1; attempt <= kFrontWindowAttempts; ++attempt) {
    std::optional<Value> v = copyAttr(t, t.axApp, attr::kWindows);
    if (v && v->shape == Value::Shape::Elements && !v->elements.empty() && v->elements[0]) {
      return v->elements[0];
    }
    wakeWrites(t);
    t.platform.sleepFor(kFrontWindowPause);
  }
  return std::nullopt;
}

}  // namespace ombru::ax
