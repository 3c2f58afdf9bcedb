// The tool's functions over one target application. What the process-wide
// globals of a one-shot tool would hold lives in `Tool`, so several runs can
// share a process in tests.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform.hpp"

namespace ombru::ax {

struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  // Measures of the standardized rectangle: a negative width or height counts
  // by its absolute value.
  double minX() const { return width < 0 ? x + width : x; }
  double minY() const { return height < 0 ? y + height : y; }
  double w() const { return width < 0 ? -width : width; }
  double h() const { return height < 0 ? -height : height; }
  double maxX() const { return minX() + w(); }
  double maxY() const { return minY() + h(); }
  double midX() const { return minX() + w() / 2; }
  double midY() const { return minY() + h() / 2; }
};

// What two rectangles share; none unless it has an area.
inline std::optional<Rect> overlap(const Rect& a, const Rect& b) {
  const double x0 = std::max(a.minX(), b.minX()), y0 = std::max(a.minY(), b.minY());
  const double x1 = std::min(a.maxX(), b.maxX()), y1 = std::min(a.maxY(), b.maxY());
  if (!(x1 > x0 && y1 > y0)) return std::nullopt;
  return Rect{x0, y0, x1 - x0, y1 - y0};
}

struct Hit {
  Element element;
  std::string text;
  Rect rect;
  // Where a click on the hit goes when only part of it is visible: the
  // part its scroll areas leave in view. Empty: the whole rect.
  std::optional<Rect> visible;

  Point clickPoint() const {
    const Rect& r = visible ? *visible : rect;
    return Point{r.midX(), r.midY()};
  }
};

struct FieldCandidate {
  Element element;
  Rect frame;
  std::string description;
};

struct Tool {
  explicit Tool(Platform& p) : platform(p) {}

  Platform& platform;
  std::vector<std::string> args;
  std::string mode;
  std::string appName;
  std::vector<std::string> wanted;
  RunningApp target;
  Element axApp;
  Element web;
  std::vector<std::string> lines;
  // When the last wheel event of this run was posted (the platform's clock).
  std::optional<std::chrono::nanoseconds> lastScroll;
  // The scroll area whose bar the last scroll step moved, or the item view
  // whose drawn bar it clicked (`byTrack`): the next step tries it before it
  // looks for one again.
  std::optional<Element> scrolled;
  bool byTrack = false;
};

// Element toolkit.
std::optional<Value> copyAttr(Tool& t, const Element& e, std::string_view name);
std::vector<Element> children(Tool& t, const Element& e);
std::string role(Tool& t, const Element& e);
std::string label(Tool& t, const Element& e);
std::optional<Rect> frame(Tool& t, const Element& e);
// The element's parent; none for the root or when it cannot be read.
std::optional<Element> parentOf(Tool& t, const Element& e);
void wake(Tool& t);
std::optional<Element> frontWindow(Tool& t);

// Rows.
// With `clip`, an element that lies wholly outside a scroll area around it
// is not taken: GTK 3 keeps rows scrolled out of view visible, at their
// true place beyond the list.
void collect(Tool& t, const Element& e, double edge, std::vector<Hit>& into, std::int64_t depth,
             bool clip = false);
std::vector<Hit> rows(Tool& t, const Element& window);
std::optional<Hit> findRow(Tool& t, const std::vector<Hit>& hits, std::string_view name);

// Pressing and scrolling.
bool press(Tool& t, const Hit& hit);
void scrollSidebar(Tool& t, const Element& window, std::int32_t notches);
// The hit with the frame its element has on screen now: read again once the
// target has had time to report where the last scroll put it, and read until
// two reads agree. Empty when the frame does not settle in time, or no longer
// lies left of `edge` with a positive size: nothing may act on that hit.
std::optional<Hit> confirmed(Tool& t, const Hit& hit, double edge);
// Whether a click at the centre of the hit's frame reaches it: the centre
// lies inside the window, on a screen and inside every framed ancestor, and
// the target's own hit test there lands on the hit, on an element inside it,
// or on an ancestor that holds no other row of `list`.
bool inView(Tool& t, const Element& window, const Hit& hit, const std::vector<Hit>& list);
// The part of the hit's frame that every framed element around it leaves
// visible; empty when nothing of it is. A row wider than its list (GTK
// clips long channel names) is clicked in this part, never beyond it.
std::optional<Rect> visiblePart(Tool& t, const Element& window, const Hit& hit);
// Whether `outer` is one of the element's ancestors below the window.
bool within(Tool& t, const Element& e, const Element& outer, const Element& window);
// Whether the target shows the element at the point: its hit test, from the
// window down, lands on the element or inside it, or goes no deeper than
// one of the element's ancestors. A page the toolkit keeps behind another
// at its old place (GTK 4's stacks) is met by the page in front.
bool shownAt(Tool& t, const Element& window, const Element& e, Point p);
// Whether the target's hit test, from the window down, ends on the element
// itself at the point: nothing inside it or in front of it lies there.
bool landsOn(Tool& t, const Element& window, const Element& e, Point p);

// Text and fields.
std::optional<Element> findWebArea(Tool& t, const Element& e, std::int64_t depth);
// Where a window without a web area shows its conversation: the largest
// read-only text area, scroll area or multi-line text of the window that
// holds none of the sidebar's rows, is shown at its centre and has text to
// read.
std::optional<Element> findConversation(Tool& t, const Element& window);
void textOf(Tool& t, const Element& e, std::vector<std::string>& into, std::int64_t depth);
void gather(Tool& t, const Element& e, std::int64_t depth, std::vector<FieldCandidate>& into);

// Decisions of the sub-commands.
// Whether a process of this name may be the application of this name, not
// yet listed: the same name ignoring case, or that name and a suffix after '-'.
bool mayBeStarting(std::string_view appName, std::string_view processName);
bool isTargetWindow(const WindowValue& entry, std::string_view appName);
bool isGroupButton(Tool& t, const Hit& hit, std::string_view group);
bool namesMessageInput(std::string_view description);
// Stable: candidates that neither precedes keep their order.
void sortFields(std::vector<FieldCandidate>& candidates);

// Sub-commands; each returns the exit status (hold never returns).
int windowsCommand(Tool& t);
int textCommand(Tool& t);
int rowCommand(Tool& t, bool click);
int conversationCommand(Tool& t, bool probe);
int fieldCommand(Tool& t);
int holdCommand(Tool& t);

}  // namespace ombru::ax
