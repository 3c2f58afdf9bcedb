// The tree walks. Each is depth-first and pre-order, visits children in the
// platform's order and is bounded by depth and, where it collects, by a list
// limit tested on entry. A child that is the element itself or one of its
// ancestors is not entered again: a tree that loops back on itself would
// otherwise be walked to the depth limit once per loop.
#include <algorithm>
#include <array>

#include "constants.hpp"
#include "text.hpp"
#include "tool.hpp"

namespace ombru::ax {
namespace {

using Path = std::vector<const void*>;

bool onPath(const Path& path, const Element& e) {
  return std::find(path.begin(), path.end(), e.identity()) != path.end();
}

// Keeps the path in step with the recursion.
struct Enter {
  Enter(Path& p, const Element& e) : path(p) { path.push_back(e.identity()); }
  ~Enter() { path.pop_back(); }
  Path& path;
};

// `shown`: with `clip`, what the scroll areas around the element leave in
// view (none known: all of it).
void collectFrom(Tool& t, const Element& e, double edge, std::vector<Hit>& into, std::int64_t depth,
                 Path& path, bool clip, std::optional<Rect> shown) {
  if (depth > kMaxDepth) return;
  if (into.size() > kMaxHits) return;
  Enter enter(path, e);
  if (clip && role(t, e) == "AXScrollArea") {
    if (std::optional<Rect> f = frame(t, e); f && f->w() > 0 && f->h() > 0) {
      shown = shown ? overlap(*shown, *f) : f;
      if (!shown) return;
    }
  }
  std::string l = label(t, e);
  if (!l.empty() && text::graphemeCount(l, kLongestLabel + 1) <= kLongestLabel) {
    if (std::optional<Rect> f = frame(t, e)) {
      if (f->w() > 0 && f->h() > 0 && f->minX() < edge && (!shown || overlap(*f, *shown)))
        into.push_back(Hit{e, std::move(l), *f, std::nullopt});
    }
  }
  for (const Element& c : children(t, e)) {
    if (!onPath(path, c)) collectFrom(t, c, edge, into, depth + 1, path, clip, shown);
  }
}

std::optional<Element> webAreaFrom(Tool& t, const Element& e, std::int64_t depth, Path& path) {
  if (depth > kWebAreaMaxDepth) return std::nullopt;
  if (role(t, e) == "AXWebArea") return e;
  Enter enter(path, e);
  for (const Element& c : children(t, e)) {
    if (onPath(path, c)) continue;
    if (std::optional<Element> found = webAreaFrom(t, c, depth + 1, path)) return found;
  }
  return std::nullopt;
}

bool isOneOf(std::string_view r, std::initializer_list<std::string_view> roles) {
  return std::find(roles.begin(), roles.end(), r) != roles.end();
}

void textFrom(Tool& t, const Element& e, std::vector<std::string>& into, std::int64_t depth,
              Path& path) {
  if (depth > kMaxDepth) return;
  if (into.size() > kMaxLines) return;
  Enter enter(path, e);
  if (isOneOf(role(t, e), {"AXStaticText", "AXTextArea", "AXTextField", "AXHeading"})) {
    std::string l = label(t, e);
    if (!l.empty()) into.push_back(std::move(l));
  }
  for (const Element& c : children(t, e)) {
    if (!onPath(path, c)) textFrom(t, c, into, depth + 1, path);
  }
}

void gatherFrom(Tool& t, const Element& e, std::int64_t depth, std::vector<FieldCandidate>& into,
                Path& path) {
  if (depth > kMaxDepth) return;
  if (into.size() > kMaxCandidates) return;
  Enter enter(path, e);
  if (isOneOf(role(t, e), {"AXTextArea", "AXTextField", "AXComboBox"})) {
    if (std::optional<Rect> f = frame(t, e)) {
      if (f->w() > kFieldMinWidth && f->h() > kFieldMinHeight) {
        std::string placeholder;
        std::optional<Value> p = copyAttr(t, e, attr::kPlaceholderValue);
        if (p && p->shape == Value::Shape::Text) placeholder = text::sanitize(p->text);
        into.push_back(FieldCandidate{e, *f, placeholder + " " + label(t, e)});
      }
    }
  }
  for (const Element& c : children(t, e)) {
    if (!onPath(path, c)) gatherFrom(t, c, depth + 1, into, path);
  }
}

struct Pane {
  Element element;
  Rect frame;
  double size = 0;
};

// Whether the area shows one of the rows: the row lies in its frame and
// below it in the tree. A row of a page kept behind it only lies there.
bool holdsAny(Tool& t, const Element& window, const Element& area, const Rect& r,
              const std::vector<Hit>& rows) {
  for (const Hit& h : rows) {
    const double x = h.rect.midX(), y = h.rect.midY();
    if (x >= r.minX() && x < r.maxX() && y >= r.minY() && y < r.maxY() &&
        within(t, h.element, area, window)) {
      return true;
    }
  }
  return false;
}

bool isItemView(const std::string& role) {
  return role == "AXTable" || role == "AXOutline";
}

// Whether a scroll area shows a table or tree (a nick list, a channel tree):
// its cells are names, never a conversation. Toolkits put the view directly
// in the area or one viewport below it.
bool holdsItemView(Tool& t, const Element& area) {
  for (const Element& c : children(t, area)) {
    if (isItemView(role(t, c))) return true;
    for (const Element& g : children(t, c)) {
      if (isItemView(role(t, g))) return true;
    }
  }
  return false;
}

void areasFrom(Tool& t, const Element& window, const Element& e, std::int64_t depth,
               const std::vector<Hit>& rows, std::vector<Pane>& into, Path& path) {
  if (depth > kMaxDepth || into.size() > kMaxCandidates) return;
  Enter enter(path, e);
  const std::string r = role(t, e);
  if (isItemView(r)) return;
  bool kind = r == "AXScrollArea" && !holdsItemView(t, e);
  if (r == "AXTextArea") {
    std::optional<Value> editable = copyAttr(t, e, attr::kEditable);
    kind = editable && editable->shape == Value::Shape::Boolean && !editable->boolean;
  }
  if (r == "AXStaticText") kind = label(t, e).find('\n') != std::string::npos;
  if (kind) {
    std::optional<Rect> f = frame(t, e);
    if (f && f->w() > 0 && f->h() > 0 && !holdsAny(t, window, e, *f, rows)) {
      into.push_back(Pane{e, *f, f->w() * f->h()});
    }
  }
  for (const Element& c : children(t, e)) {
    if (!onPath(path, c)) areasFrom(t, window, c, depth + 1, rows, into, path);
  }
}

}  // namespace

std::optional<Element> findConversation(Tool& t, const Element& window) {
  std::vector<Hit> sidebar;
  for (const Hit& h : rows(t, window)) {
    if (role(t, h.element) == "AXStaticText") sidebar.push_back(h);
  }
  std::vector<Pane> areas;
  Path path;
  areasFrom(t, window, window, 0, sidebar, areas, path);
  std::stable_sort(areas.begin(), areas.end(),
                   [](const Pane& a, const Pane& b) { return a.size > b.size; });
  for (const Pane& a : areas) {
    if (!shownAt(t, window, a.element, Point{a.frame.midX(), a.frame.midY()})) continue;
    std::vector<std::string> lines;
    textOf(t, a.element, lines, 0);
    if (!lines.empty()) return a.element;
  }
  return std::nullopt;
}

void collect(Tool& t, const Element& e, double edge, std::vector<Hit>& into, std::int64_t depth,
             bool clip) {
  Path path;
  collectFrom(t, e, edge, into, depth, path, clip, std::nullopt);
}

std::vector<Hit> rows(Tool& t, const Element& window) {
  std::vector<Hit> hits;
  std::optional<Rect> f = frame(t, window);
  if (!f) return hits;
  collect(t, window, f->minX() + kSidebarWidth, hits, 0);
  return hits;
}

std::optional<Hit> findRow(Tool& t, const std::vector<Hit>& hits, std::string_view name) {
  std::vector<const Hit*> candidates;
  for (const Hit& h : hits) {
    if (role(t, h.element) == "AXStaticText" && h.rect.h() >= kLowestRow) candidates.push_back(&h);
  }
  for (const Hit* h : candidates) {
    if (text::equal(h->text, name)) return *h;
  }
  for (const Hit* h : candidates) {
    if (text::containsIgnoringCase(h->text, name)) return *h;
  }
  return std::nullopt;
}

std::optional<Element> findWebArea(Tool& t, const Element& e, std::int64_t depth) {
  Path path;
  return webAreaFrom(t, e, depth, path);
}

void textOf(Tool& t, const Element& e, std::vector<std::string>& into, std::int64_t depth) {
  Path path;
  textFrom(t, e, into, depth, path);
}

void gather(Tool& t, const Element& e, std::int64_t depth, std::vector<FieldCandidate>& into) {
  Path path;
  gatherFrom(t, e, depth, into, path);
}

}  // namespace ombru::ax
