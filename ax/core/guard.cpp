// Whether a found row can be clicked where it is reported. Some toolkits
// list rows that are scrolled away, or covered, at their unclipped place
// (Qt marks every child of a scroll area as showing); a click there lands
// off the screen, outside the window or on another element, and must never
// be taken for a click on the row.
#include <algorithm>

#include "constants.hpp"
#include "tool.hpp"

namespace ombru::ax {
namespace {

bool contains(const Rect& r, Point p) {
  return p.x >= r.minX() && p.x < r.maxX() && p.y >= r.minY() && p.y < r.maxY();
}

bool contains(const Area& a, Point p) {
  return contains(Rect{a.origin.x, a.origin.y, a.size.width, a.size.height}, p);
}

// The element's ancestors, nearest first, up to and without the window.
std::vector<Element> ancestors(Tool& t, const Element& e, const Element& window) {
  std::vector<Element> out;
  std::optional<Element> at = parentOf(t, e);
  for (std::int64_t depth = 0; at && !(*at == window) && depth < kMaxDepth; ++depth) {
    out.push_back(*at);
    at = parentOf(t, *at);
  }
  return out;
}

// Nothing of `parent` but `step` lies at the point: `step`'s frame, when it
// has one, holds the point, and no other child with a frame does.
bool onlyStepAt(Tool& t, const Element& parent, const Element& step, Point p) {
  for (const Element& c : children(t, parent)) {
    std::optional<Rect> f = frame(t, c);
    if (c == step) {
      if (f && !contains(*f, p)) return false;
    } else if (f && contains(*f, p)) {
      return false;
    }
  }
  return true;
}

// Two handles that give the same role and frame: Qt 5 may answer a hit test
// with a new handle for an element it already gave.
bool sameRoleAndFrame(Tool& t, const Element& a, const Element& b) {
  std::optional<Rect> fa = frame(t, a), fb = frame(t, b);
  return fa && fb && fa->x == fb->x && fa->y == fb->y && fa->width == fb->width &&
         fa->height == fb->height && role(t, a) == role(t, b);
}

// Two handles that give the same role, label and frame.
bool alike(Tool& t, const Element& a, const Element& b) {
  if (!sameRoleAndFrame(t, a, b)) return false;
  const std::string la = label(t, a);
  return !la.empty() && la == label(t, b);
}

// Where the target's hit test at the point ends, descending from the window
// one level per call; it stops early at `stop`.
Element hitFrom(Tool& t, const Element& window, Point p, const Element* stop = nullptr) {
  Element at = window;
  for (std::int64_t depth = 0; depth < kMaxDepth; ++depth) {
    if (stop && at == *stop) break;
    std::optional<Element> next = t.platform.elementAtPoint(at, p);
    if (!next || !*next || *next == at) break;
    at = *next;
  }
  return at;
}

// Hit testing descends one level per call: from the window to the deepest
// element at the point. GTK 3 stops answering at a scroll area once it has
// scrolled more than a page (its viewport then calls itself off screen);
// where the target goes no deeper, the descent follows the row's own path
// as long as nothing else there lies at the point. `path` runs from the
// window's child down to the row.
Element deepestAt(Tool& t, const Element& window, Point p, const std::vector<Element>& path) {
  Element at = window;
  for (std::int64_t depth = 0; depth < kMaxDepth; ++depth) {
    std::optional<Element> next = t.platform.elementAtPoint(at, p);
    if (next && *next && !(*next == at)) {
      at = *next;
      continue;
    }
    std::size_t i = 0;
    if (!(at == window)) {
      while (i < path.size() && !(path[i] == at)) ++i;
      // Qt 5's item views answer a hit test with a new handle for the same
      // cell: one of the path's elements that it cannot be told from.
      if (i == path.size()) {
        for (i = 0; i < path.size() && !alike(t, path[i], at); ++i) {
        }
        if (i == path.size()) break;
        at = path[i];
      }
      ++i;
    }
    if (i >= path.size() || !onlyStepAt(t, at, path[i], p)) break;
    at = path[i];
  }
  return at;
}

// An ancestor of the row belongs to the row's own item when no other row
// lies inside it; the window, a list or a scroll area hold other rows.
bool ownItem(Tool& t, const Element& ancestor, const Hit& hit, const std::vector<Hit>& list) {
  std::optional<Rect> f = frame(t, ancestor);
  if (!f) return false;
  for (const Hit& other : list) {
    if (other.text == hit.text) continue;
    if (contains(*f, Point{other.rect.midX(), other.rect.midY()})) return false;
  }
  return true;
}

}  // namespace

bool within(Tool& t, const Element& e, const Element& outer, const Element& window) {
  for (const Element& a : ancestors(t, e, window)) {
    if (a == outer) return true;
  }
  return false;
}

bool shownAt(Tool& t, const Element& window, const Element& e, Point p) {
  const Element at = hitFrom(t, window, p, &e);
  return at == e || at == window || within(t, at, e, window) || within(t, e, at, window);
}

bool landsOn(Tool& t, const Element& window, const Element& e, Point p) {
  const Element at = hitFrom(t, window, p);
  return at == e || sameRoleAndFrame(t, at, e);
}

std::optional<Rect> visiblePart(Tool& t, const Element& window, const Hit& hit) {
  std::optional<Rect> part = hit.rect;
  for (const Element& a : ancestors(t, hit.element, window)) {
    if (!part) return std::nullopt;
    std::optional<Rect> f = frame(t, a);
    if (f && f->w() > 0 && f->h() > 0) part = overlap(*part, *f);
  }
  return part;
}

bool inView(Tool& t, const Element& window, const Hit& hit, const std::vector<Hit>& list) {
  // The row's own centre lies in the window; the click goes to the centre
  // of its visible part, which must lie there too.
  std::optional<Rect> w = frame(t, window);
  if (!w || !contains(*w, Point{hit.rect.midX(), hit.rect.midY()})) return false;
  const Point p = hit.clickPoint();
  if (!contains(*w, p)) return false;
  // No known screen (no display) means no pointer either: the press action
  // that replaces the click does not depend on where the row lies.
  const std::vector<Area> screens = t.platform.screens();
  bool onScreen = screens.empty();
  for (const Area& s : screens) onScreen = onScreen || contains(s, p);
  if (!onScreen) return false;
  // Scrolling ancestors clip their rows; a toolkit that does not say which
  // ancestor scrolls (Qt names a scroll area a filler) is covered by testing
  // every ancestor that has a frame of its own.
  const std::vector<Element> chain = ancestors(t, hit.element, window);
  for (const Element& a : chain) {
    std::optional<Rect> f = frame(t, a);
    if (f && f->w() > 0 && f->h() > 0 && !contains(*f, p)) return false;
  }
  std::vector<Element> path(chain.rbegin(), chain.rend());
  path.push_back(hit.element);
  const Element found = deepestAt(t, window, p, path);
  if (found == hit.element) return true;
  if (within(t, found, hit.element, window)) return true;
  for (const Element& a : chain) {
    if (a == found) return ownItem(t, a, hit, list);
  }
  return false;
}

}  // namespace ombru::ax
