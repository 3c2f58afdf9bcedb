// The Linux backend's answers, read straight from a real GTK 3 application in
// a private desktop session: the names, roles, frames, actions and windows
// the core builds on.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "input_xtest.hpp"
#include "process.hpp"
#include "tree_atspi.hpp"
#include "windows_x11.hpp"

// Last: Xlib defines macros that clash with other headers.
#include <X11/Xlib.h>

using namespace std::chrono_literals;
using namespace ombru::ax;
using ombru::ax::desktop::AtspiTree;

namespace {

class Backend : public ::testing::Test {
 protected:
  static inline pid_t target = -1;
  static inline std::string dir, log;
  static inline desktop::X11* x11 = nullptr;
  static inline AtspiTree* tree = nullptr;
  static inline Element app;

  static void SetUpTestSuite() {
    dir = ombru::e2e::makeTempDir("ombru-ax-backend");
    log = dir + "/target.log";
    target = ombru::e2e::start({OMBRU_CHAT_GTK, "--tool"}, "", {{"OMBRU_TARGET_LOG", log}});
    for (int i = 0; i < 100 && ombru::e2e::readFile(log).find("ready") == std::string::npos; ++i)
      std::this_thread::sleep_for(100ms);
    x11 = new desktop::X11();
    // A fresh tree per try: the application list is read once per tree.
    for (int i = 0; i < 40; ++i) {
      tree = new AtspiTree([] { return x11->atspiBusAddress(); });
      app = tree->applicationElement(target);
      if (app && !windows().empty()) break;
      app = Element();
      delete tree;
      tree = nullptr;
      std::this_thread::sleep_for(250ms);
    }
  }

  static void TearDownTestSuite() {
    app = Element();
    delete tree;
    delete x11;
    ombru::e2e::stop(target);
    ombru::e2e::removeTree(dir);
  }

  void SetUp() override {
    if (!tree) GTEST_FAIL() << "the target never appeared on the accessibility bus";
  }

  static std::vector<Element> windows() {
    auto v = tree->read(app, "AXWindows");
    return v ? v->elements : std::vector<Element>{};
  }

  static std::string text(const Element& e, const char* attribute) {
    auto v = tree->read(e, attribute);
    return v && v->shape == Value::Shape::Text ? v->text : "";
  }

  // The first element below `root` (pre-order) that passes `test`.
  static Element first(const Element& root, const std::function<bool(const Element&)>& test,
                       int depth = 0) {
    if (depth > 60) return Element();
    if (test(root)) return root;
    auto kids = tree->read(root, "AXChildren");
    if (!kids) return Element();
    for (const Element& k : kids->elements)
      if (Element hit = first(k, test, depth + 1)) return hit;
    return Element();
  }

  static Element byRoleAndLabel(const std::string& role, const std::string& label) {
    return first(app, [&](const Element& e) {
      return text(e, "AXRole") == role &&
             (text(e, "AXValue") == label || text(e, "AXTitle") == label);
    });
  }

  static bool recorded(const std::string& line, std::chrono::milliseconds limit = 3s) {
    auto end = std::chrono::steady_clock::now() + limit;
    do {
      for (const std::string& l : ombru::e2e::splitLines(ombru::e2e::readFile(log)))
        if (l.rfind(line, 0) == 0) return true;
      std::this_thread::sleep_for(50ms);
    } while (std::chrono::steady_clock::now() < end);
    return false;
  }
};

TEST_F(Backend, ListsTheApplicationByNameExecutableAndPid) {
  bool seen = false;
  for (const RunningApp& a : tree->applications()) {
    if (a.processIdentifier != target) continue;
    seen = true;
    EXPECT_EQ(a.localizedName.value_or(""), "ombru-chat-gtk");
    EXPECT_EQ(a.bundleIdentifier.value_or(""), "ombru-chat-gtk");
  }
  EXPECT_TRUE(seen);
  EXPECT_EQ(tree->nameOfProcess(target).value_or(""), "ombru-chat-gtk");
  EXPECT_FALSE(tree->applicationElement(-5));
}

TEST_F(Backend, RolesLabelsAndPlaceholdersFollowTheMapping) {
  auto wins = windows();
  ASSERT_FALSE(wins.empty());
  EXPECT_EQ(text(wins[0], "AXRole"), "AXWindow");
  EXPECT_EQ(text(wins[0], "AXTitle"), "Ombru Chat");  // the active window, not the palette

  EXPECT_TRUE(byRoleAndLabel("AXStaticText", "general"));
  EXPECT_TRUE(byRoleAndLabel("AXButton", "Work"));
  EXPECT_TRUE(byRoleAndLabel("AXHeading", "Today"));
  EXPECT_TRUE(byRoleAndLabel("AXWebArea", "Conversation"));
  Element message = first(
      app, [](const Element& e) { return text(e, "AXPlaceholderValue") == "Type a message"; });
  ASSERT_TRUE(message);
  EXPECT_EQ(text(message, "AXRole"), "AXTextField");
  auto value = tree->read(message, "AXValue");
  ASSERT_TRUE(value);
  EXPECT_EQ(value->shape, Value::Shape::Text);
  EXPECT_EQ(value->text, "");

  // A label's parent is one element; the application has none.
  Element label = byRoleAndLabel("AXStaticText", "general");
  auto parent = tree->read(label, "AXParent");
  ASSERT_TRUE(parent);
  EXPECT_EQ(parent->shape, Value::Shape::Element);
  ASSERT_EQ(parent->elements.size(), 1u);
  EXPECT_EQ(text(parent->elements[0], "AXRole"), "AXGroup");
  EXPECT_FALSE(tree->read(label, "AXNoSuchAttribute"));
}

TEST_F(Backend, OnlyWhatIsOnScreenHasAFrame) {
  Element general = byRoleAndLabel("AXStaticText", "general");
  Element hidden = byRoleAndLabel("AXStaticText", "Standup");  // behind the closed group
  Element below = byRoleAndLabel("AXStaticText", "knitting");  // scrolled out of view
  ASSERT_TRUE(general && hidden && below);
  auto pos = tree->read(general, "AXPosition");
  auto size = tree->read(general, "AXSize");
  ASSERT_TRUE(pos && size);
  EXPECT_EQ(pos->shape, Value::Shape::Point);
  EXPECT_EQ(size->shape, Value::Shape::Size);
  EXPECT_GT(size->size.width, 0);
  EXPECT_GT(size->size.height, 10);
  // A size read on its own is read afresh and agrees.
  tree->read(hidden, "AXTitle");
  auto again = tree->read(general, "AXSize");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->size.height, size->size.height);
  EXPECT_FALSE(tree->read(hidden, "AXPosition"));
  EXPECT_FALSE(tree->read(hidden, "AXSize"));
  // A row scrolled out of view is visible to GTK: it has its true place,
  // below the list, where the click guard leaves it.
  auto outside = [&](const Element& e, bool aboveList) {
    auto p = tree->read(e, "AXPosition");
    return !p || (aboveList ? p->point.y < pos->point.y : p->point.y > pos->point.y + 600);
  };
  EXPECT_TRUE(outside(below, false));

  // Wheel clicks over the sidebar bring the lower rows in and the first out.
  desktop::XTestInput input(*x11);
  Point over{pos->point.x + 20, pos->point.y + 200};
  for (int i = 0; i < 3; ++i) {
    EventRef wheel = input.wheel(-6);
    ASSERT_TRUE(wheel);
    input.place(*wheel, over);
    input.post(*wheel);
  }
  std::this_thread::sleep_for(500ms);
  // As the platform does after every event and pause: what was read before
  // is read again.
  tree->invalidate();
  EXPECT_TRUE(outside(general, true));
  auto now = tree->read(below, "AXPosition");
  ASSERT_TRUE(now);
  EXPECT_LT(now->point.y, pos->point.y + 600);
  for (int i = 0; i < 3; ++i) {
    EventRef wheel = input.wheel(6);
    input.place(*wheel, over);
    input.post(*wheel);
  }
  std::this_thread::sleep_for(500ms);
  tree->invalidate();
  EXPECT_TRUE(tree->read(general, "AXPosition"));
}

TEST_F(Backend, ActionsFocusAndPointer) {
  Element button = byRoleAndLabel("AXButton", "Work");
  ASSERT_TRUE(button);
  auto names = tree->actions(button);
  ASSERT_TRUE(names);
  EXPECT_EQ(std::count(names->begin(), names->end(), "AXPress"), 1);
  EXPECT_TRUE(tree->perform(button, "AXPress"));
  EXPECT_TRUE(recorded("group Work"));
  Element label = byRoleAndLabel("AXStaticText", "random");
  EXPECT_FALSE(tree->perform(label, "AXPress"));  // a GTK label has no actions
  auto none = tree->actions(label);
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());

  Element message = first(
      app, [](const Element& e) { return text(e, "AXPlaceholderValue") == "Type a message"; });
  ASSERT_TRUE(message);
  EXPECT_TRUE(tree->writeBool(message, "AXFocused", true));
  EXPECT_TRUE(recorded("focus message"));
  EXPECT_TRUE(tree->writeBool(app, "AXManualAccessibility", true));
  EXPECT_TRUE(tree->writeBool(app, "AXEnhancedUserInterface", true));

  desktop::XTestInput input(*x11);
  EventRef move = input.mouse(MouseEventType::Moved, Point{123.4, 321.6});
  ASSERT_TRUE(move);
  input.post(*move);
  Window root, child;
  int rx = 0, ry = 0, wx = 0, wy = 0;
  unsigned int mask = 0;
  XQueryPointer(x11->display(), DefaultRootWindow(x11->display()), &root, &child, &rx, &ry, &wx,
                &wy, &mask);
  EXPECT_EQ(rx, 123);
  EXPECT_EQ(ry, 322);
  // A point with no pixel gives no click, rather than one wherever the
  // pointer rests.
  EXPECT_FALSE(input.mouse(MouseEventType::LeftDown, Point{std::nan(""), 10}));
  EXPECT_FALSE(input.mouse(MouseEventType::LeftUp, Point{1e300, 10}));
}

TEST_F(Backend, WindowListGivesOwnersLayersAndHeights) {
  auto list = x11->windowList([](std::int64_t pid) { return tree->nameOfProcess(pid); });
  ASSERT_TRUE(list);
  int chats = 0, tools = 0;
  for (const WindowValue& w : *list) {
    ASSERT_EQ(w.kind, WindowValue::Kind::Dictionary);
    std::string owner, name;
    std::int64_t layer = -1;
    double height = -1;
    for (const WindowField& f : w.dictionary) {
      if (f.key == "kCGWindowOwnerName") owner = f.value.text;
      if (f.key == "kCGWindowName") name = f.value.text;
      if (f.key == "kCGWindowLayer") layer = f.value.integer;
      if (f.key == "kCGWindowBounds")
        for (const WindowField& b : f.value.dictionary)
          if (b.key == "Height") height = b.value.real;
    }
    if (owner != "ombru-chat-gtk") continue;
    if (name == "Ombru Chat") {
      ++chats;
      EXPECT_EQ(layer, 0);
      EXPECT_NEAR(height, 640, 1);
    } else if (name == "Palette") {
      ++tools;
      EXPECT_NE(layer, 0);
      EXPECT_GT(height, 200);
    }
  }
  EXPECT_EQ(chats, 1);
  EXPECT_EQ(tools, 1);
}

}  // namespace
