// Whether a browser that has just joined the accessibility bus has built
// its page yet.
#include "constants.hpp"
#include "tree_atspi.hpp"

namespace ombru::ax::desktop {
namespace {

std::optional<Area> frameOf(TreeReader& r, const Element& e) {
  auto at = r.read(e, attr::kPosition);
  auto size = r.read(e, attr::kSize);
  if (!at || !size || at->shape != Value::Shape::Point || size->shape != Value::Shape::Size)
    return std::nullopt;
  if (!(size->size.width > 0 && size->size.height > 0)) return std::nullopt;
  return Area{at->point, size->size};
}

bool holds(const Area& outer, const Area& inner) {
  const double x = inner.origin.x + inner.size.width / 2,
               y = inner.origin.y + inner.size.height / 2;
  return x >= outer.origin.x && x <= outer.origin.x + outer.size.width && y >= outer.origin.y &&
         y <= outer.origin.y + outer.size.height;
}

// Elements below `from` in pre-order, at most `limit` of them, until
// `stop` answers true for one; that one, if any.
std::optional<Element> firstBelow(TreeReader& r, const Element& from, std::size_t limit,
                                  const std::function<bool(const Element&)>& stop) {
  std::vector<Element> stack{from};
  for (std::size_t seen = 0; !stack.empty() && seen < limit; ++seen) {
    Element e = std::move(stack.back());
    stack.pop_back();
    if (seen > 0 && stop(e)) return e;
    auto kids = r.read(e, attr::kChildren);
    if (!kids || kids->shape != Value::Shape::Elements) continue;
    for (auto k = kids->elements.rbegin(); k != kids->elements.rend(); ++k) stack.push_back(*k);
  }
  return std::nullopt;
}

bool hasRole(TreeReader& r, const Element& e, std::string_view role) {
  auto v = r.read(e, attr::kRole);
  return v && v->shape == Value::Shape::Text && v->text == role;
}

}  // namespace

bool AtspiTree::settling(const Element& application) {
  if (!reader_ || reader_->toolkit(application) != "Gecko") return false;
  // How far the checks look: the browser's own controls come before the
  // page, and the page's first text is near its start.
  constexpr std::size_t kToPage = 3000, kToText = 400;
  TreeReader& r = *reader_;
  auto windows = r.read(application, attr::kWindows);
  if (!windows || windows->shape != Value::Shape::Elements || windows->elements.empty())
    return true;
  auto page = firstBelow(r, windows->elements.front(), kToPage,
                         [&](const Element& e) { return hasRole(r, e, "AXWebArea"); });
  if (!page || r.busy(*page)) return true;
  auto pageFrame = frameOf(r, *page);
  if (!pageFrame) return true;
  // Every text near the page's start whose element has a place on the page
  // must have one too: Firefox sends them a few at a time.
  bool placed = true, actionsAsked = false;
  firstBelow(r, *page, kToText, [&](const Element& e) {
    if (!hasRole(r, e, "AXStaticText")) return false;
    auto parent = r.read(e, attr::kParent);
    if (!parent || parent->shape != Value::Shape::Element || parent->elements.empty()) return false;
    auto outer = frameOf(r, parent->elements.front());
    if (!outer || !holds(*pageFrame, *outer)) return false;
    // Actions, too, are sent only once asked for: asked here, they are
    // there by the time a press needs them.
    if (!actionsAsked) actionsAsked = r.actions(parent->elements.front()).has_value();
    auto own = frameOf(r, e);
    placed = own && holds(*pageFrame, *own);
    return !placed;
  });
  return !placed;
}

}  // namespace ombru::ax::desktop
