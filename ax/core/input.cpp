#include <algorithm>
#include <cmath>
#include <limits>

#include "constants.hpp"
#include "tool.hpp"

namespace ombru::ax {

using namespace std::chrono_literals;

namespace {

bool offersPress(const std::optional<std::vector<std::string>>& names) {
  return names && std::find(names->begin(), names->end(), "AXPress") != names->end();
}

// Move, press and release at the point, as a hand would; false when the
// platform makes no such events.
bool clickAt(Platform& p, Point at) {
  EventRef move = p.createMouseEvent(MouseEventType::Moved, at);
  EventRef down = move ? p.createMouseEvent(MouseEventType::LeftDown, at) : nullptr;
  EventRef up = down ? p.createMouseEvent(MouseEventType::LeftUp, at) : nullptr;
  if (!move || !down || !up) return false;
  p.post(*move);
  p.sleepFor(kPressMovePause);
  p.post(*down);
  p.sleepFor(kPressHoldPause);
  p.post(*up);
  return true;
}

}  // namespace

bool press(Tool& t, const Hit& hit) {
  Platform& p = t.platform;
  if (clickAt(p, hit.clickPoint())) return true;

  std::optional<Element> e = hit.element;
  for (int tried = 1; tried <= kPressElementsTried; ++tried) {
    if (!e || !*e) return false;
    if (offersPress(p.copyActionNames(*e)) && p.performAction(*e, "AXPress")) return true;
    e = parentOf(t, *e);
  }
  return false;
}

namespace {

// A vertical scroll bar and what its value may be, in the toolkit's units.
struct Bar {
  Element element;
  double value = 0, least = 0, most = 0, line = 0, page = 0;
};

std::optional<double> numberOf(Tool& t, const Element& e, std::string_view name) {
  std::optional<Value> v = copyAttr(t, e, name);
  if (!v || v->shape != Value::Shape::Number || !std::isfinite(v->number)) return std::nullopt;
  return v->number;
}

std::optional<Bar> barOf(Tool& t, const Element& area, const Rect& areaFrame) {
  std::optional<Value> v = copyAttr(t, area, attr::kVerticalScrollBar);
  if (!v || v->shape != Value::Shape::Element || v->elements.empty() || !v->elements[0]) {
    return std::nullopt;
  }
  Bar b{v->elements[0]};
  std::optional<double> value = numberOf(t, b.element, attr::kValue);
  std::optional<double> least = numberOf(t, b.element, attr::kMinValue);
  std::optional<double> most = numberOf(t, b.element, attr::kMaxValue);
  if (!value || !least || !most || *most < *least) return std::nullopt;
  b.value = *value;
  b.least = *least;
  b.most = *most;
  std::optional<double> line = numberOf(t, b.element, attr::kLineStep);
  b.line = line && *line > 0 ? *line : areaFrame.h() * kScrollBarLineShare;
  b.page = areaFrame.h();
  return b;
}

bool holds(const Rect& r, Point p) {
  return p.x >= r.minX() && p.x < r.maxX() && p.y >= r.minY() && p.y < r.maxY();
}

// What lies at the scroll point: the innermost scroll bar there, and
// whether a table or an outline (a tree) outside a web page lies there.
struct AtPoint {
  std::optional<Bar> bar;
  Element area;                     // the bar's
  std::optional<Element> itemView;  // the innermost
};

// Only elements whose frame holds the point are entered (one without a
// frame is passed through), so the walk stays on the point's path.
void lookAt(Tool& t, const Element& e, Point p, std::int64_t depth, bool inWeb,
            std::vector<const void*>& path, AtPoint& found) {
  if (depth > kMaxDepth) return;
  std::optional<Rect> f = frame(t, e);
  if (f && !holds(*f, p)) return;
  if (f) {
    if (std::optional<Bar> b = barOf(t, e, *f)) {
      found.bar = std::move(b);
      found.area = e;
    }
  }
  const std::string r = role(t, e);
  inWeb = inWeb || r == "AXWebArea";
  if (!inWeb && (r == "AXTable" || r == "AXOutline")) found.itemView = e;
  path.push_back(e.identity());
  for (const Element& c : children(t, e)) {
    if (std::find(path.begin(), path.end(), c.identity()) == path.end()) {
      lookAt(t, c, p, depth + 1, inWeb, path, found);
    }
  }
  path.pop_back();
}

// Clicks the track that a native item view without a scroll bar draws in
// the strip right of its rows. Rows out of view have no
// frame, but they keep their place among the children, so the rows above
// and below the view, at the height of those in view, give the thumb's place
// and length. The click goes past the thumb by a share of its length, toward
// the end `notches` points to, and the target's hit test must show the view
// itself there: no row, nothing in front of it.
void clickTrack(Tool& t, const Element& window, const Element& view, std::int32_t notches) {
  std::optional<Rect> f = frame(t, view);
  if (!f || f->h() <= 0 || notches == 0) return;
  const bool down = notches > 0;
  const std::vector<Element> kids = children(t, view);
  std::optional<Rect> span;
  std::string rowRole;
  double shown = 0, above = 0, below = 0;
  std::vector<Element> unframed;  // since the last row in view
  for (const Element& c : kids) {
    std::optional<Rect> r = frame(t, c);
    if (!r) {
      unframed.push_back(c);
      continue;
    }
    if (r->w() <= 0 || r->h() <= 0) continue;
    // Only rows count, not a header that lies in no row's place; a gap
    // between rows in view is no part of what lies beyond them.
    if (!span) {
      rowRole = role(t, c);
      for (const Element& u : unframed) above += role(t, u) == rowRole;
      // Already at its start: the rest need not be read.
      if (!down && above == 0 && r->minY() >= f->minY()) return;
      span = r;
    } else {
      const double right = std::max(span->maxX(), r->maxX());
      const double bottom = std::max(span->maxY(), r->maxY());
      span->x = std::min(span->minX(), r->minX());
      span->y = std::min(span->minY(), r->minY());
      span->width = right - span->x;
      span->height = bottom - span->y;
    }
    unframed.clear();
    shown += 1;
  }
  if (!span) return;
  for (const Element& u : unframed) below += role(t, u) == rowRole;
  const double strip = f->maxX() - span->maxX();
  if (!(strip >= kTrackLeast && strip <= kTrackMost)) return;
  // A view of several columns lists each row once per column: the height a
  // row takes per listed cell is the same.
  const double perCell = span->h() / shown;
  const double top = span->minY() - above * perCell;
  const double bottom = span->maxY() + below * perCell;
  if (down ? bottom <= f->maxY() : top >= f->minY()) return;
  const double scale = f->h() / std::max(bottom - top, f->h());
  const double thumb = f->h() * scale;
  const double centre = f->minY() + (f->minY() - top) * scale + thumb / 2;
  // The thumb's least length is about the bar's width. The click goes just
  // inside the view's right border, on the bar even where the columns stop
  // short of it; near an end, just inside the view's border too: the thumb
  // may lie a few pixels from the end, and an arrow button there moves one
  // line.
  const double reach = std::max(kTrackReachShare * thumb, thumb / 2 + strip);
  const double y = std::clamp(down ? centre + reach : centre - reach, f->minY() + kTrackInset,
                              f->maxY() - kTrackInset);
  const Point at{f->maxX() - kTrackInset, y};
  if (landsOn(t, window, view, at)) clickAt(t.platform, at);
}

}  // namespace

void scrollSidebar(Tool& t, const Element& window, std::int32_t notches) {
  Platform& p = t.platform;
  std::optional<Rect> f = frame(t, window);
  if (!f) return;
  const Point at{f->minX() + kScrollPointX, f->minY() + f->h() * kScrollPointY};
  if (EventRef move = p.createMouseEvent(MouseEventType::Moved, at)) p.post(*move);
  // The list's own scroll bar moves the list and nothing else. A wheel over
  // a native list can also change what it selects (Konversation switches
  // conversations with it), so the wheel is used only where no bar can be
  // set, and never over a native table or tree (item views whose rows take
  // the wheel): one that offers no bar is moved only through the bar it
  // draws, if any.
  // A search scrolls one list many times: the area moved last is taken
  // again while it still lies under the point, without a walk to find it.
  AtPoint here;
  if (t.scrolled) {
    std::optional<Rect> af = frame(t, *t.scrolled);
    if (af && holds(*af, at)) {
      if (t.byTrack) {
        here.itemView = *t.scrolled;
      } else {
        here.bar = barOf(t, *t.scrolled, *af);
        here.area = *t.scrolled;
      }
    }
  }
  if (!here.bar && !here.itemView) {
    here = AtPoint{};
    std::vector<const void*> path;
    lookAt(t, window, at, 0, false, path, here);
  }
  t.scrolled.reset();
  t.byTrack = false;
  if (const std::optional<Bar>& bar = here.bar) {
    const double reach = kScrollBarMostShare * bar->page;
    const double move =
        std::clamp(static_cast<double>(notches) * kLinesPerNotch * bar->line, -reach, reach);
    const double wanted = std::clamp(bar->value + move, bar->least, bar->most);
    // The toolkit moves its rows as the bar is set, unlike a web page after
    // the wheel: no wait for late frames follows (the frame guard still reads
    // a row until two reads agree).
    if (p.setNumberAttribute(bar->element, attr::kValue, wanted)) {
      t.scrolled = here.area;
      p.sleepFor(kScrollPause);
      return;
    }
  }
  if (here.itemView) {
    clickTrack(t, window, *here.itemView, notches);
    t.scrolled = here.itemView;
    t.byTrack = true;
    p.sleepFor(kScrollPause);
    return;
  }
  // Negated in 64 bits: the smallest 32-bit value has no 32-bit negation.
  const std::int64_t delta = std::clamp<std::int64_t>(-static_cast<std::int64_t>(notches),
                                                      std::numeric_limits<std::int32_t>::min(),
                                                      std::numeric_limits<std::int32_t>::max());
  if (EventRef wheel = p.createScrollWheelEvent(static_cast<std::int32_t>(delta))) {
    p.setLocation(*wheel, at);
    p.post(*wheel);
    t.lastScroll = p.now();
  }
  p.sleepFor(kScrollPause);
}

namespace {

// Two reads agree when they report the same numbers; a value that is not a
// number agrees with itself.
bool same(double a, double b) {
  return a == b || (std::isnan(a) && std::isnan(b));
}
bool same(const Rect& a, const Rect& b) {
  return same(a.x, b.x) && same(a.y, b.y) && same(a.width, b.width) && same(a.height, b.height);
}

}  // namespace

std::optional<Hit> confirmed(Tool& t, const Hit& hit, double edge) {
  Platform& p = t.platform;
  if (t.lastScroll) {
    const auto ready = *t.lastScroll + kReportedAfterScroll;
    const auto now = p.now();
    if (now < ready) {
      p.sleepFor(std::chrono::ceil<std::chrono::microseconds>(ready - now));
    }
  }
  const auto giveUp = p.now() + kSettleLimit;
  Rect seen = hit.rect;
  for (;;) {
    std::optional<Rect> now = frame(t, hit.element);
    if (!now || !(now->w() > 0 && now->h() > 0 && now->minX() < edge)) return std::nullopt;
    if (same(*now, seen)) return Hit{hit.element, hit.text, *now, std::nullopt};
    seen = *now;
    if (p.now() >= giveUp) return std::nullopt;
    p.sleepFor(kRecheck);
  }
}

}  // namespace ombru::ax
