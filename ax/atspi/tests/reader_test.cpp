// What both readers share: Firefox's text runs and GTK 4's window places,
// worked out from AT-SPI's own answers, here given by a reader over a tree
// in memory.
#include <atspi/atspi-constants.h>
#include <gtest/gtest.h>

#include <memory>

#include "reader_atspi.hpp"

namespace ombru::ax::desktop {
namespace {

struct FakeNode {
  int role = ATSPI_ROLE_PANEL;
  std::uint64_t states = (1ull << ATSPI_STATE_SHOWING) | (1ull << ATSPI_STATE_VISIBLE);
  std::string name;
  std::optional<std::string> text;
  std::optional<Extents> extents;
  std::vector<std::shared_ptr<FakeNode>> kids;
  FakeNode* parent = nullptr;
  // Extents of each character range asked for, by its start.
  std::map<std::int32_t, Extents> ranges;
  // The Value interface: current value and most; none without it.
  std::optional<double> value, most;
};

FakeNode ofRole(int role) {
  FakeNode n;
  n.role = role;
  return n;
}

class FakeReader : public TreeReader {
 public:
  std::string toolkitName = "Gecko", version = "128.0";
  std::shared_ptr<FakeNode> root = std::make_shared<FakeNode>();
  int rangeReads = 0;
  bool windowAsked = false;
  std::optional<Pixel> hitAt;           // where the last hit test asked
  std::shared_ptr<FakeNode> hitAnswer;  // what the hit test reaches

  FakeReader() { root->role = ATSPI_ROLE_APPLICATION; }
  std::shared_ptr<FakeNode> add(const std::shared_ptr<FakeNode>& to, FakeNode n) {
    auto c = std::make_shared<FakeNode>(std::move(n));
    c->parent = to.get();
    to->kids.push_back(c);
    return c;
  }
  Element of(const std::shared_ptr<FakeNode>& n) { return Element(n); }
  std::vector<ListedApp> applications() override { return {}; }

 protected:
  static FakeNode* at(const Element& e) { return e.as<FakeNode>(); }
  Element wrap(FakeNode* n) {
    if (n == root.get()) return Element(root);
    for (auto& k : n->parent->kids)
      if (k.get() == n) return Element(k);
    return Element();
  }
  std::optional<std::vector<Element>> children(const Element& e, bool) override {
    std::vector<Element> out;
    for (auto& k : at(e)->kids) out.push_back(Element(k));
    return out;
  }
  std::optional<int> role(const Element& e) override { return at(e)->role; }
  std::optional<States> states(const Element& e) override { return at(e)->states; }
  std::optional<bool> hasInterface(const Element& e, Interface which) override {
    return which == kTextIface ? at(e)->text.has_value()
                               : which == kValueIface && at(e)->most.has_value();
  }
  std::optional<std::string> text(const Element& e) override { return at(e)->text; }
  std::optional<std::string> name(const Element& e) override { return at(e)->name; }
  std::optional<std::string> description(const Element&) override { return ""; }
  std::optional<Value> placeholder(const Element&) override { return std::nullopt; }
  std::optional<double> valueProperty(const Element& e, const char* p) override {
    if (!at(e)->most) return std::nullopt;
    return std::string_view(p) == "MaximumValue" ? *at(e)->most : 0.0;
  }
  bool setCurrentValue(const Element& e, double v) override {
    if (!at(e)->most) return false;
    at(e)->value = v;
    return true;
  }
  std::optional<Extents> extents(const Element& e, bool window) override {
    windowAsked = windowAsked || window;
    return at(e)->extents;
  }
  std::optional<Extents> rangeExtents(const Element& e, std::int32_t from, std::int32_t,
                                      bool) override {
    ++rangeReads;
    auto it = at(e)->ranges.find(from);
    if (it == at(e)->ranges.end()) return Extents{};
    return it->second;
  }
  std::optional<Value> parent(const Element& e) override {
    if (!at(e)->parent) return Value::absent();
    return Value::ofElement(wrap(at(e)->parent));
  }
  std::optional<AppFacts> app(const Element&) override {
    return AppFacts{root.get(), 4242, toolkitName, version};
  }
  bool focus(const Element&) override { return true; }
  std::optional<std::vector<std::string>> actionNames(const Element&) override {
    return std::vector<std::string>{"click", "press", "showContextMenu"};
  }
  bool doAction(const Element&, std::int32_t) override { return true; }
  std::optional<Element> hit(const Element&, std::int32_t x, std::int32_t y, bool) override {
    hitAt = Pixel{x, y};
    if (!hitAnswer) return std::nullopt;
    return wrap(hitAnswer.get());
  }
  void forget() override {}
  void drop() override {}
};

std::vector<std::string> labels(FakeReader& r, const Element& e) {
  std::vector<std::string> out;
  const std::vector<Element> kids = r.read(e, "AXChildren")->elements;
  for (const Element& k : kids) {
    auto role = r.read(k, "AXRole");
    auto v = r.read(k, "AXValue");
    out.push_back(role->text + ":" + (v ? v->text : std::string("-")));
  }
  return out;
}

TEST(SharedReader, FirefoxTextBetweenChildrenBecomesRunsInTheirPlace) {
  FakeReader r;
  FakeNode li;
  li.role = ATSPI_ROLE_LIST_ITEM;
  // "é" is two bytes but one character: the second run starts at character 4.
  li.text = "h\xC3\xA9 \xEF\xBF\xBCsecond";
  li.ranges[0] = Extents{10, 20, 30, 12};
  li.ranges[4] = Extents{50, 20, 40, 12};
  auto item = r.add(r.root, li);
  r.add(item, ofRole(ATSPI_ROLE_LINK));
  Element e = r.of(item);
  EXPECT_EQ(labels(r, e), (std::vector<std::string>{"AXStaticText:h\xC3\xA9 ", "AXLink:-",
                                                    "AXStaticText:second"}));
  auto kids = r.read(e, "AXChildren")->elements;
  EXPECT_EQ(r.read(kids[2], "AXPosition")->point.x, 50);
  EXPECT_EQ(r.read(kids[2], "AXSize")->size.width, 40);
  EXPECT_EQ(r.read(kids[2], "AXParent")->elements.front(), e);
  // The same run is the same element on every read.
  EXPECT_EQ(r.read(e, "AXChildren")->elements[2], kids[2]);
  EXPECT_EQ(r.actions(kids[0])->size(), 0u);
  EXPECT_FALSE(r.perform(kids[0], "AXPress"));
  // A run with no place yet (Firefox has not sent it) has no frame.
  r.invalidate();
  item->ranges[4] = Extents{};
  EXPECT_FALSE(r.read(kids[2], "AXPosition"));
}

TEST(SharedReader, TextIsTakenOnlyWhereItBelongsToNoElement) {
  FakeReader r;
  // Fields keep their text as their value; buttons as their name.
  FakeNode field;
  field.role = ATSPI_ROLE_ENTRY;
  field.text = "typed";
  field.states |= 1ull << ATSPI_STATE_EDITABLE;
  EXPECT_TRUE(r.read(r.of(r.add(r.root, field)), "AXChildren")->elements.empty());
  FakeNode button;
  button.role = ATSPI_ROLE_PUSH_BUTTON;
  button.text = "Send";
  EXPECT_TRUE(r.read(r.of(r.add(r.root, button)), "AXChildren")->elements.empty());
  // A child that is not one of the placeholders: the text is the child's.
  FakeNode mixed;
  mixed.text = "one child";
  auto m = r.add(r.root, mixed);
  r.add(m, ofRole(ATSPI_ROLE_LABEL));
  EXPECT_EQ(labels(r, r.of(m)), (std::vector<std::string>{"AXStaticText:-"}));
  // More placeholders than children.
  FakeNode extra;
  extra.text = "\xEF\xBF\xBC\xEF\xBF\xBCx";
  auto x = r.add(r.root, extra);
  r.add(x, ofRole(ATSPI_ROLE_LINK));
  EXPECT_EQ(r.read(r.of(x), "AXChildren")->elements.size(), 1u);
  // Another toolkit's text is never split.
  r.toolkitName = "Chromium";
  FakeReader other;
  other.toolkitName = "Chromium";
  FakeNode p;
  p.text = "plain";
  EXPECT_TRUE(other.read(other.of(other.add(other.root, p)), "AXChildren")->elements.empty());
}

TEST(SharedReader, Gtk4PlacesAreMovedByTheirOwnWindowOrNotGiven) {
  FakeReader r;
  r.toolkitName = "GTK";
  r.version = "4.8.3";
  FakeNode chat, notes, row;
  chat.role = notes.role = ATSPI_ROLE_FRAME;
  chat.name = "Chat";
  notes.name = "Notes";
  chat.extents = Extents{0, 0, 900, 640};
  notes.extents = Extents{0, 0, 400, 300};
  // GTK 4.8 says visible, never showing, below the window.
  row.states = 1ull << ATSPI_STATE_VISIBLE;
  row.extents = Extents{10, 20, 100, 18};
  auto c = r.add(r.root, chat);
  auto n = r.add(r.root, notes);
  Element inChat = r.of(r.add(r.add(c, ofRole(ATSPI_ROLE_PANEL)), row));
  Element inNotes = r.of(r.add(n, row));

  std::vector<std::string> asked;
  r.setOrigin([&](std::int64_t pid, const WindowHint* hint) -> std::optional<Point> {
    EXPECT_EQ(pid, 4242);
    if (!hint) return std::nullopt;  // several windows
    asked.push_back(hint->title + " " + std::to_string(int(hint->width)));
    if (hint->title == "Chat") return Point{33, 51};
    return std::nullopt;  // not told apart
  });
  auto at = r.read(inChat, "AXPosition");
  ASSERT_TRUE(at);
  EXPECT_EQ(at->point.x, 43);
  EXPECT_EQ(at->point.y, 71);
  EXPECT_TRUE(r.windowAsked);
  // A window that cannot be placed gives no frame: never the offset point.
  EXPECT_FALSE(r.read(inNotes, "AXPosition"));
  EXPECT_EQ(asked, (std::vector<std::string>{"Chat 900", "Notes 400"}));
  // The hit test before a click asks at the pixel the click goes to (a
  // frame's centre often lies on a half pixel), in the window's coordinates.
  const Point centre{93.5, 80.5};
  r.atPoint(inChat, centre);
  const std::optional<Pixel> click = pixelOf(centre);
  ASSERT_TRUE(r.hitAt && click);
  EXPECT_EQ(r.hitAt->x + 33, click->x);
  EXPECT_EQ(r.hitAt->y + 51, click->y);
}

TEST(SharedReader, NamedRowWithoutTextGetsAStaticTextOfItsNameAndPlace) {
  FakeReader r;
  r.toolkitName = "GTK";
  r.version = "3.24.38";
  FakeNode cell = ofRole(ATSPI_ROLE_TABLE_CELL);
  cell.name = "#general";
  cell.extents = Extents{10, 40, 120, 22};
  auto c = r.add(r.root, cell);
  EXPECT_EQ(labels(r, r.of(c)), (std::vector<std::string>{"AXStaticText:#general"}));
  const Element text = r.read(r.of(c), "AXChildren")->elements.front();
  EXPECT_EQ(r.read(text, "AXPosition")->point.y, 40);
  EXPECT_EQ(r.read(text, "AXSize")->size.width, 120);
  EXPECT_EQ(r.read(text, "AXParent")->elements.front(), r.of(c));
  EXPECT_EQ(r.read(r.of(c), "AXChildren")->elements.front(), text);
  // A row that is not visible has no place, and neither has its text.
  c->states = 0;
  r.invalidate();
  EXPECT_FALSE(r.read(text, "AXPosition"));

  // Rows with text inside, rows without a name and other roles stay as they are.
  FakeNode item = ofRole(ATSPI_ROLE_LIST_ITEM);
  item.name = "random";
  auto i = r.add(r.root, item);
  r.add(i, ofRole(ATSPI_ROLE_LABEL));
  EXPECT_EQ(labels(r, r.of(i)), (std::vector<std::string>{"AXStaticText:-"}));
  FakeNode blank = ofRole(ATSPI_ROLE_TREE_ITEM);
  blank.name = " ";
  EXPECT_TRUE(r.read(r.of(r.add(r.root, blank)), "AXChildren")->elements.empty());
  FakeNode button = ofRole(ATSPI_ROLE_PUSH_BUTTON);
  button.name = "general";
  EXPECT_TRUE(r.read(r.of(r.add(r.root, button)), "AXChildren")->elements.empty());
}

TEST(SharedReader, QtListsNothingBelowAHiddenElement) {
  FakeReader r;
  r.toolkitName = "Qt";
  FakeNode page = ofRole(ATSPI_ROLE_FILLER);
  page.states = 0;  // a tab page not shown; Qt still marks its items showing
  auto p = r.add(r.root, page);
  r.add(p, ofRole(ATSPI_ROLE_LIST_ITEM));
  EXPECT_TRUE(r.read(r.of(p), "AXChildren")->elements.empty());
  p->states = 1ull << ATSPI_STATE_VISIBLE;
  EXPECT_EQ(r.read(r.of(p), "AXChildren")->elements.size(), 1u);
}

TEST(SharedReader, Gtk4StackListsOnlyThePageTheHitTestReaches) {
  FakeReader r;
  r.toolkitName = "GTK";
  r.version = "4.8.3";
  FakeNode stack = ofRole(ATSPI_ROLE_PANEL), page = ofRole(ATSPI_ROLE_PANEL);
  stack.extents = Extents{200, 50, 600, 400};
  page.name = "GtkStackPage";
  auto s = r.add(r.root, stack);
  r.add(s, page);  // a placeholder, say
  auto room = r.add(s, page);
  r.add(s, page);  // a room shown before
  auto header = r.add(s, ofRole(ATSPI_ROLE_LABEL));
  r.hitAnswer = r.add(r.add(room, ofRole(ATSPI_ROLE_FILLER)), ofRole(ATSPI_ROLE_TEXT));
  auto kids = [&] { return r.read(r.of(s), "AXChildren")->elements; };
  EXPECT_EQ(kids(), (std::vector<Element>{r.of(room), r.of(header)}));
  EXPECT_EQ(r.hitAt->x, 500);
  EXPECT_EQ(r.hitAt->y, 250);
  // A hit outside every page, or none, tells nothing: all pages stay.
  r.hitAnswer = header;
  EXPECT_EQ(kids().size(), 4u);
  r.hitAnswer = nullptr;
  EXPECT_EQ(kids().size(), 4u);
}

TEST(SharedReader, GtkClassNamesAreNoLabel) {
  for (const char* n : {"GtkImage", "AdwGizmo", "Gjs_ChatEntry", "GtkListBox"}) {
    EXPECT_TRUE(isClassName(n)) << n;
  }
  for (const char* n : {"Gtk", "Gtkfoo", "GtkImage here", "general", "Gjs_", "#Gtk"}) {
    EXPECT_FALSE(isClassName(n)) << n;
  }
  FakeReader gtk;
  gtk.toolkitName = "GTK";
  FakeNode image = ofRole(ATSPI_ROLE_LIST_ITEM);
  image.name = "GtkImage";
  auto g = gtk.add(gtk.root, image);
  EXPECT_EQ(gtk.read(gtk.of(g), "AXTitle")->text, "");
  EXPECT_TRUE(gtk.read(gtk.of(g), "AXChildren")->elements.empty());
  FakeReader qt;
  qt.toolkitName = "Qt";
  EXPECT_EQ(qt.read(qt.of(qt.add(qt.root, image)), "AXTitle")->text, "GtkImage");
}

TEST(SharedReader, VerticalScrollBarBesideTheViewOrInsideAContainer) {
  FakeReader r;
  FakeNode horizontal = ofRole(ATSPI_ROLE_SCROLL_BAR);
  horizontal.states |= 1ull << ATSPI_STATE_HORIZONTAL;
  horizontal.most = 100;
  FakeNode vertical = ofRole(ATSPI_ROLE_SCROLL_BAR);
  vertical.states |= 1ull << ATSPI_STATE_VERTICAL;
  vertical.most = 800;
  // GTK 2 and 3: the bars beside the view.
  auto pane = r.add(r.root, ofRole(ATSPI_ROLE_SCROLL_PANE));
  r.add(pane, ofRole(ATSPI_ROLE_VIEWPORT));
  r.add(pane, horizontal);
  auto bar = r.add(pane, vertical);
  EXPECT_EQ(r.read(r.of(pane), "AXVerticalScrollBar")->elements.front(), r.of(bar));
  EXPECT_EQ(r.read(r.of(bar), "AXMaxValue")->number, 800);
  EXPECT_TRUE(r.setNumber(r.of(bar), 120));
  EXPECT_EQ(bar->value, 120);
  // Qt: in a container, with no orientation state; upright by its shape.
  auto area = r.add(r.root, ofRole(ATSPI_ROLE_FILLER));
  auto box = r.add(area, ofRole(ATSPI_ROLE_FILLER));
  FakeNode upright = ofRole(ATSPI_ROLE_SCROLL_BAR);
  upright.most = 40;
  upright.extents = Extents{291, 103, 14, 588};
  auto qtBar = r.add(box, upright);
  EXPECT_EQ(r.read(r.of(area), "AXVerticalScrollBar")->elements.front(), r.of(qtBar));
  qtBar->extents = Extents{0, 0, 588, 14};
  EXPECT_FALSE(r.read(r.of(area), "AXVerticalScrollBar"));
  // A bar without the Value interface cannot be set.
  auto plain = r.add(r.root, ofRole(ATSPI_ROLE_SCROLL_PANE));
  FakeNode noValue = ofRole(ATSPI_ROLE_SCROLL_BAR);
  noValue.states |= 1ull << ATSPI_STATE_VERTICAL;
  r.add(plain, noValue);
  EXPECT_FALSE(r.read(r.of(plain), "AXVerticalScrollBar"));
}

}  // namespace
}  // namespace ombru::ax::desktop
