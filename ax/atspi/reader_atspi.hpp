// The two ways of reading the target's tree behind one interface: in bulk
// (BulkTree, the default) and one blocking libatspi call per attribute
// (SerialTree, the reference the bulk reader is tested against). Each reader
// answers AT-SPI's own questions; what those answers mean to the core (the
// attribute names, Firefox's text runs, GTK 4's window-relative places, the
// ranking of windows, the naming of actions) is worked out here once, so
// both readers answer alike.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform.hpp"

namespace ombru::ax::desktop {

// An application registered on the accessibility bus.
struct ListedApp {
  std::string name;  // empty when it cannot be read
  std::int64_t pid = 0;
  Element element;  // its root
};

// A rectangle as AT-SPI gives it.
struct Extents {
  double x = 0, y = 0, width = 0, height = 0;
};

// What tells one window of an application from another: its title and
// its size.
struct WindowHint {
  std::string title;
  double width = 0, height = 0;
};

// What the core needs to know of the application an element belongs to.
struct AppFacts {
  const void* key = nullptr;  // the same for every element of one application
  std::int64_t pid = 0;
  std::string toolkit;  // ToolkitName
  std::string version;  // the toolkit's version
};

class TreeReader {
 public:
  // Every request waits at most this long, so a target that stops answering
  // ends a read as a failure instead of hanging the tool.
  static constexpr int kCallTimeoutMs = 2000;
  // Where every application keeps its own element.
  static constexpr const char* kRootPath = "/org/a11y/atspi/accessible/root";

  virtual ~TreeReader() = default;

  // The rules of AT-SPI's answers, the same for both readers.
  // State bits, as GetState gives them in two 32-bit words.
  using States = std::uint64_t;
  static States statesOf(std::uint32_t low, std::uint32_t high) {
    return States{low} | (States{high} << 32);
  }
  static States stateBit(int state) { return state >= 0 && state < 64 ? States{1} << state : 0; }
  static bool has(States s, int state) { return (s & stateBit(state)) != 0; }
  // Whether an element in these states has a place on screen: a showing
  // one, and a visible one where the toolkit marks no more than that.
  static bool onScreen(States s, bool visibleCounts);
  // The interfaces a reader tells apart.
  enum Interface : std::uint32_t {
    kTextIface = 1,
    kValueIface = 2,
    kComponentIface = 4,
    kActionIface = 8,
  };
  // AT-SPI's coordinate type for screen or (`window`) window coordinates.
  static std::uint32_t coordType(bool window);
  // Extents as AT-SPI sends them; none where the toolkit does not know the
  // place (GTK answers INT_MIN).
  static std::optional<Extents> knownExtents(std::int32_t x, std::int32_t y, std::int32_t width,
                                             std::int32_t height);

  // In the registry's order.
  virtual std::vector<ListedApp> applications() = 0;

  // An attribute in the name the core asks for.
  std::optional<Value> read(const Element& element, std::string_view attribute);
  bool grabFocus(const Element& element);
  // Sets the value of an element with the Value interface (a scroll bar).
  bool setNumber(const Element& element, double value);
  std::optional<std::vector<std::string>> actions(const Element& element);
  bool perform(const Element& element, std::string_view action);
  std::optional<Element> atPoint(const Element& element, Point at);
  // The toolkit an application names itself by; empty when it does not answer.
  std::string toolkit(const Element& application);
  // True when the element says it is still loading.
  bool busy(const Element& element);
  // Forgets every value read ahead.
  void invalidate();
  void release();

  // `origin` gives the screen position of a process's window, for toolkits
  // that place their elements relative to their window: its one window, or
  // (given a hint) the one that fits the hint.
  using OriginOf = std::function<std::optional<Point>(std::int64_t pid, const WindowHint* hint)>;
  void setOrigin(OriginOf origin) { originOf_ = std::move(origin); }

 protected:
  // The element's children as the target lists them. `walking`: a read of
  // the walks (a reader may read ahead for them).
  virtual std::optional<std::vector<Element>> children(const Element& e, bool walking) = 0;
  virtual std::optional<int> role(const Element& e) = 0;
  virtual std::optional<States> states(const Element& e) = 0;
  // Whether the element has the interface; none when that cannot be read.
  virtual std::optional<bool> hasInterface(const Element& e, Interface which) = 0;
  // The whole text, U+FFFC included; none without the Text interface.
  virtual std::optional<std::string> text(const Element& e) = 0;
  virtual std::optional<std::string> name(const Element& e) = 0;
  virtual std::optional<std::string> description(const Element& e) = 0;
  virtual std::optional<Value> placeholder(const Element& e) = 0;
  // A number of the Value interface ("CurrentValue", "MinimumValue",
  // "MaximumValue", "MinimumIncrement"); none without the interface.
  virtual std::optional<double> valueProperty(const Element& e, const char* property) = 0;
  virtual bool setCurrentValue(const Element& e, double value) = 0;
  // Extents in screen or (`window`) window coordinates; none without the
  // Component interface or when the toolkit does not know them.
  virtual std::optional<Extents> extents(const Element& e, bool window) = 0;
  // Extents of characters [from, to) of the element's text.
  virtual std::optional<Extents> rangeExtents(const Element& e, std::int32_t from, std::int32_t to,
                                              bool window) = 0;
  // The parent element, or an absent value for the root.
  virtual std::optional<Value> parent(const Element& e) = 0;
  virtual std::optional<AppFacts> app(const Element& e) = 0;
  virtual bool focus(const Element& e) = 0;
  // AT-SPI's own action names, in order.
  virtual std::optional<std::vector<std::string>> actionNames(const Element& e) = 0;
  virtual bool doAction(const Element& e, std::int32_t index) = 0;
  virtual std::optional<Element> hit(const Element& e, std::int32_t x, std::int32_t y,
                                     bool window) = 0;
  virtual void forget() = 0;
  virtual void drop() = 0;

  // GTK 4 places elements relative to their window and marks none below
  // it as showing.
  bool windowRelative(const Element& e);
  // A page of a GTK 4 stack, by the name GTK gives it.
  static bool isStackPage(std::string_view name);
  // The middle pixel of a frame; none for an empty one.
  static std::optional<Pixel> centreOf(const Extents& x);
  // What the hit test reaches at the centre of the element's frame, in
  // window coordinates (GTK 4).
  virtual std::optional<Element> centreHit(const Element& e);

 private:
  struct Run;
  struct Facts {
    AppFacts app;
    bool originRead = false;
    std::optional<Point> origin;
  };
  Facts* factsOf(const Element& e);
  // The text (without U+FFFC) or the number, whichever interface it has.
  std::optional<Value> value(const Element& e);
  // The screen position of the window `e` lies in.
  std::optional<Point> origin(const Element& e);
  std::optional<Element> topLevelOf(const Element& e);
  bool placed(const Element& e, States s);
  std::optional<Extents> frame(const Element& e);
  std::shared_ptr<Run> runOf(const Element& e);
  std::optional<Value> childrenWithRuns(const Element& e);
  // Leaves, of a stack's pages, only the one on screen.
  void dropHiddenPages(const Element& e, std::vector<Element>& kids);
  std::shared_ptr<Run> runAt(const Element& owner, std::int32_t from);
  std::optional<Value> nameAsText(const Element& e);
  // The element's name, less a bare class name in a GTK application.
  std::optional<std::string> shownName(const Element& e);
  // The place a whole run is kept at: no run of text starts there.
  static constexpr std::int32_t kWholeRun = -1;
  std::optional<Value> windows(const Element& e);
  std::optional<Value> verticalBar(const Element& e);
  std::optional<Value> runRead(Run& run, std::string_view attribute);

  OriginOf originOf_;
  std::map<const void*, Facts> facts_;
  // Each element's window, and each window's place, once known.
  std::map<const void*, Element> topLevel_;
  std::map<const void*, std::optional<Point>> windowOrigin_;
  // Every run made and still held, by its identity and by its place.
  std::map<const void*, std::weak_ptr<Run>> runs_;
  std::map<std::pair<const void*, std::int32_t>, std::weak_ptr<Run>> runAt_;
  unsigned generation_ = 1;
  // The frame read last: its size read follows its position read.
  const void* lastFrameOf_ = nullptr;
  std::optional<Extents> lastFrame_;
};

// A child of an application, as a reader found it.
struct TopLevel {
  Element element;
  int role = 0;  // AT-SPI role
  bool active = false;
  bool showing = false;
};
// The application's windows among its children: the active one first, then
// those on screen, then hidden ones, each group in the application's order.
// A window the toolkit keeps but does not show must never be taken for the
// front one.
Value rankWindows(const std::vector<TopLevel>& children);
// Whether a name is only a GTK widget's class name ("GtkImage", "AdwGizmo",
// "Gjs_ChatEntry"), which GTK 4 gives elements that have no name of their
// own: no label a user sees.
bool isClassName(std::string_view name);
// Text contents without U+FFFC, the placeholder AT-SPI puts for each child.
std::string withoutObjectReplacement(std::string_view text);
// Adds an action's name (in the core's naming) unless it is there already.
void addAction(std::vector<std::string>& names, std::string name);

}  // namespace ombru::ax::desktop
