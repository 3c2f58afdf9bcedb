// The operations ombru-ax needs from the desktop, and nothing finer. The core
// makes every decision; a backend only answers these calls. Every call is
// synchronous and made from one thread. Nothing here throws.
#pragma once

#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ombru::ax {

// Opaque, reference-counted handle to one node of the target's tree. Copies
// share the node. Two handles to the same node must have the same identity()
// (backends keep one object per node, or hand out a canonical pointer), so
// walks can tell a node they are already inside of.
class Element {
 public:
  Element() = default;
  explicit Element(std::shared_ptr<void> ref) : ref_(std::move(ref)) {}

  explicit operator bool() const { return ref_ != nullptr; }
  const void* identity() const { return ref_.get(); }
  // The backend's own object behind the handle.
  template <class T>
  T* as() const {
    return static_cast<T*>(ref_.get());
  }
  friend bool operator==(const Element& a, const Element& b) {
    return a.identity() == b.identity();
  }

 private:
  std::shared_ptr<void> ref_;
};

struct Point {
  double x = 0;
  double y = 0;
};

struct Size {
  double width = 0;
  double height = 0;
};

// A rectangle of the screen space, such as one screen.
struct Area {
  Point origin;
  Size size;
};

// A pixel of the screen space.
struct Pixel {
  std::int32_t x = 0;
  std::int32_t y = 0;
};

// The pixel a point falls on, the nearest one: the same for the hit test
// that checks what a click would reach and for the click itself. None for a
// point no pixel stands for (not finite, or far off any screen).
inline std::optional<Pixel> pixelOf(Point p) {
  constexpr double kLimit = 1 << 30;
  if (!std::isfinite(p.x) || !std::isfinite(p.y) || std::fabs(p.x) > kLimit ||
      std::fabs(p.y) > kLimit)
    return std::nullopt;
  return Pixel{static_cast<std::int32_t>(std::lround(p.x)),
               static_cast<std::int32_t>(std::lround(p.y))};
}

// One attribute value, as decoded by the backend. Shape Absent is a read that
// succeeded and gave nothing; a failed read is an empty optional instead.
struct Value {
  // Element: one element (such as a parent), held as the only entry of
  // `elements`; Elements: a list whose entries are all elements.
  enum class Shape { Absent, Text, Elements, Point, Size, Number, Boolean, Other, Element };
  Shape shape = Shape::Absent;
  std::string text;               // Text: UTF-8 as the platform gave it (may be ill-formed)
  std::vector<Element> elements;  // Elements: every entry is an element
  Point point;                    // Point
  Size size;                      // Size
  double number = 0;              // Number
  bool boolean = false;           // Boolean

  static Value absent() { return {}; }
  static Value ofText(std::string t) {
    Value v;
    v.shape = Shape::Text;
    v.text = std::move(t);
    return v;
  }
  static Value ofElements(std::vector<Element> e) {
    Value v;
    v.shape = Shape::Elements;
    v.elements = std::move(e);
    return v;
  }
  static Value ofElement(ombru::ax::Element e) {
    Value v;
    v.shape = Shape::Element;
    v.elements.push_back(std::move(e));
    return v;
  }
  static Value ofPoint(Point p) {
    Value v;
    v.shape = Shape::Point;
    v.point = p;
    return v;
  }
  static Value ofSize(Size s) {
    Value v;
    v.shape = Shape::Size;
    v.size = s;
    return v;
  }
  static Value ofNumber(double n) {
    Value v;
    v.shape = Shape::Number;
    v.number = n;
    return v;
  }
  static Value ofBoolean(bool b) {
    Value v;
    v.shape = Shape::Boolean;
    v.boolean = b;
    return v;
  }
  static Value other() {
    Value v;
    v.shape = Shape::Other;
    return v;
  }
};

// A running application as the platform lists it.
struct RunningApp {
  std::optional<std::string> localizedName;
  std::optional<std::string> bundleIdentifier;
  std::int64_t processIdentifier = 0;
  std::uint64_t token = 0;  // the backend's own key, handed back to activate()
};

// A value of the window server's list: typed, so the core can tell an integer
// layer from a fractional one and a dictionary from anything else.
struct WindowField;
struct WindowValue {
  enum class Kind { Text, Integer, Real, Dictionary, Other };
  Kind kind = Kind::Other;
  std::string text;                     // Text
  std::int64_t integer = 0;             // Integer
  double real = 0;                      // Real
  std::vector<WindowField> dictionary;  // Dictionary (keyed by text), in the platform's order
};
struct WindowField {
  std::string key;
  WindowValue value;
};

enum class MouseEventType { Moved = 5, LeftDown = 1, LeftUp = 2 };

// A built input event; released by destruction, posted or not.
class Event {
 public:
  virtual ~Event() = default;
};
using EventRef = std::unique_ptr<Event>;

class Platform {
 public:
  virtual ~Platform() = default;

  // Process arguments, program path first.
  virtual std::vector<std::string> arguments() = 0;

  // Running applications, in the platform's order.
  virtual std::vector<RunningApp> runningApplications() = 0;
  // Short names of the running processes (executable or process name), to
  // tell an application that runs but has not joined the accessibility tree
  // yet from one that is not running.
  virtual std::vector<std::string> processNames() = 0;
  // Ask the application to come to the front; the result is not used.
  virtual void activate(const RunningApp& app) = 0;
  // The application's own element; used without a check.
  virtual Element applicationElement(std::int64_t processIdentifier) = 0;
  // True while the application is still building what it shows, as right
  // after it joins: its tree or the places of its text only partly there,
  // so a read would give part of it.
  virtual bool settling(const Element& application) = 0;

  // Read one attribute. Empty optional: the read failed (any error). A value
  // of shape Absent: the read succeeded and gave nothing.
  virtual std::optional<Value> copyAttribute(const Element& element, std::string_view name) = 0;
  // Write a boolean attribute; true when the platform accepted it.
  virtual bool setBoolAttribute(const Element& element, std::string_view name, bool value) = 0;
  // Write a number attribute (a scroll bar's "AXValue"); true when accepted.
  virtual bool setNumberAttribute(const Element& element, std::string_view name, double value) = 0;
  // The element's action names. Empty optional: the read failed or did not
  // give a list of texts.
  virtual std::optional<std::vector<std::string>> copyActionNames(const Element& element) = 0;
  // Perform an action; true on success.
  virtual bool performAction(const Element& element, std::string_view action) = 0;

  // Hit test, as the target itself answers it: the element at this screen
  // point among `element`'s children (a backend may answer a deeper one).
  // Empty: nothing there, or the target does not answer.
  virtual std::optional<Element> elementAtPoint(const Element& element, Point at) = 0;
  // The frames of the screens, in screen points; empty when unknown.
  virtual std::vector<Area> screens() = 0;

  // Synthetic input in screen points (origin top-left, y down). Building
  // returns null when the event cannot be built.
  virtual EventRef createMouseEvent(MouseEventType type, Point at) = 0;
  // One wheel, in line units; negative values scroll toward the end of a list.
  virtual EventRef createScrollWheelEvent(std::int32_t wheel1Lines) = 0;
  virtual void setLocation(Event& event, Point at) = 0;
  // Inject where hardware input enters the system.
  virtual void post(Event& event) = 0;

  // The window server's on-screen windows, desktop elements excluded. Empty
  // optional: no answer or not a list. Entries that are not a dictionary
  // keyed by text have kind Other.
  virtual std::optional<std::vector<WindowValue>> windowList() = 0;

  // Raw bytes to standard output / standard error.
  virtual void writeOut(std::string_view bytes) = 0;
  virtual void writeErr(std::string_view bytes) = 0;

  // Monotonic clock and blocking pause.
  virtual std::chrono::nanoseconds now() = 0;
  virtual void sleepFor(std::chrono::microseconds duration) = 0;

  // End the process with this status once all output is written. A real
  // backend does not return; a test double may.
  virtual void exit(int status) = 0;
};

}  // namespace ombru::ax
