// The element toolkit, the walks and the input operations over small scenes.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "sim_support.hpp"

namespace ombru::ax::testing {
namespace {

std::vector<Element> kids(Sim& s, const Element& e) {
  return children(*s.tool, e);
}

TEST(Label, FallsThroughNonTextAndBlankValues) {
  Sim s(windowScene(R"(
    {"value": 42, "title": "   Inbox \n", "description": "no"},
    {"value": " \t ", "title": "", "description": "Desc"},
    {"value": {"error": true}, "title": null},
    {"value": "Value", "title": "Title"},
    {"value": {"hex": "20c3a920"}})"));
  auto c = kids(s, s.window());
  ASSERT_EQ(c.size(), 5u);
  EXPECT_EQ(label(*s.tool, c[0]), "Inbox");
  EXPECT_EQ(label(*s.tool, c[1]), "Desc");
  EXPECT_EQ(label(*s.tool, c[2]), "");
  EXPECT_EQ(label(*s.tool, c[3]), "Value");
  EXPECT_EQ(label(*s.tool, c[4]), "\u00e9");
}

TEST(Role, OnlyTextCounts) {
  Sim s(windowScene(R"({"role": "AXButton"}, {"role": 3}, {"role": null}, {})"));
  auto c = kids(s, s.window());
  ASSERT_EQ(c.size(), 4u);
  EXPECT_EQ(role(*s.tool, c[0]), "AXButton");
  EXPECT_EQ(role(*s.tool, c[1]), "");
  EXPECT_EQ(role(*s.tool, c[2]), "");
  EXPECT_EQ(role(*s.tool, c[3]), "");
}

TEST(Frame, NeedsAPointAndASize) {
  Sim s(windowScene(R"(
    {"attributes": {"AXPosition": {"point": [1, 2]}}},
    {"attributes": {"AXPosition": {"point": [1, 2]}, "AXSize": {"point": [3, 4]}}},
    {"attributes": {"AXPosition": {"size": [1, 2]}, "AXSize": {"size": [3, 4]}}},
    {"attributes": {"AXPosition": {"point": [1, 2]}, "AXSize": null}},
    {"frame": [10, 20, -30, 40]})"));
  auto c = kids(s, s.window());
  ASSERT_EQ(c.size(), 5u);
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(frame(*s.tool, c[i]).has_value()) << i;
  auto f = frame(*s.tool, c[4]);
  ASSERT_TRUE(f.has_value());
  // Measures are those of the standardized rectangle.
  EXPECT_EQ(f->minX(), -20);
  EXPECT_EQ(f->w(), 30);
  EXPECT_EQ(f->maxX(), 10);
  EXPECT_EQ(f->midY(), 40);
}

TEST(Children, AnythingButAListOfElementsIsNone) {
  Sim s(windowScene(R"(
    {"attributes": {"AXChildren": {"other": 1}}, "children": [{"role": "AXButton"}]},
    {"attributes": {"AXChildren": {"error": true}}},
    {"attributes": {"AXChildren": {"element": "main"}}},
    {"attributes": {"AXChildren": "text"}})"));
  for (const Element& e : kids(s, s.window())) EXPECT_TRUE(kids(s, e).empty());
}

TEST(FrontWindow, RetriesWithWakesAndPauses) {
  Sim s(R"({"apps": [{"name": "Chat", "pid": 1, "element": {"untilWakes": 3, "windows": [
            {"id": "w1"}, {"id": "w2"}]}}]})");
  wake(*s.tool);  // the start-up wake
  auto w = frontWindow(*s.tool);
  ASSERT_TRUE(w.has_value());
  EXPECT_EQ(s.platform->trace(),
            (std::vector<std::string>{
                "write app AXManualAccessibility true", "write app AXEnhancedUserInterface true",
                "write app AXManualAccessibility true", "write app AXEnhancedUserInterface true",
                "pause 500000", "write app AXManualAccessibility true",
                "write app AXEnhancedUserInterface true", "pause 500000"}));
  auto list = copyAttr(*s.tool, s.tool->axApp, "AXWindows");
  ASSERT_TRUE(list && list->elements.size() == 2);
  EXPECT_TRUE(*w == list->elements[0]);
  EXPECT_FALSE(*w == list->elements[1]);
}

TEST(FrontWindow, GivesUpAfterEightAttemptsAndFourSeconds) {
  Sim s(R"({"apps": [{"name": "Chat", "pid": 1, "element": {"windows": []}}]})");
  EXPECT_FALSE(frontWindow(*s.tool).has_value());
  EXPECT_EQ(s.platform->reads(), 8u);
  EXPECT_EQ(s.platform->virtualTime(), std::chrono::seconds(4));
  EXPECT_EQ(s.platform->trace().size(), 8u * 3);
}

// collect.

std::vector<std::string> texts(const std::vector<Hit>& hits) {
  std::vector<std::string> out;
  for (const Hit& h : hits) out.push_back(h.text);
  return out;
}

TEST(Collect, TakesLabelsShorterThan120Characters) {
  std::string l119;
  for (int i = 0; i < 119; ++i) l119 += "e\u0301";  // 119 characters, 357 bytes
  const std::string l120 = std::string(120, 'x');
  Sim s(windowScene(staticText(l119) + "," + R"({"role": "AXGroup", "value": ")" + l120 +
                    R"(", "frame": [0, 0, 50, 50], "children": [)" + staticText("child") + "]}"));
  std::vector<Hit> hits;
  collect(*s.tool, s.window(), 280, hits, 0);
  EXPECT_EQ(texts(hits), (std::vector<std::string>{l119, "child"}));
}

TEST(Collect, EdgeSizeAndOrder) {
  Sim s(windowScene(
      staticText("at edge", 280) + "," + staticText("just left", 279.75) + "," +
      staticText("no width", 16, 100, 0, 20) + "," + staticText("no height", 16, 100, 20, 0) + "," +
      R"({"role": "AXCell", "title": "Same", "frame": [8, 100, 260, 28],
                        "children": [)" +
      staticText("Same") + "]}," + R"({"role": "AXGroup", "value": "nowhere", "children": [)" +
      staticText("under frameless") + "]}"));
  std::vector<Hit> hits;
  collect(*s.tool, s.window(), 280, hits, 0);
  EXPECT_EQ(texts(hits),
            (std::vector<std::string>{"just left", "Same", "Same", "under frameless"}));
  EXPECT_EQ(role(*s.tool, hits[1].element), "AXCell");
}

TEST(Collect, ListLimitIsTestedOnEntry) {
  Sim s(windowScene(R"({"role": "AXStaticText", "value": "r{i}", "frame": [0, 0, 10, 10],
                        "repeat": 5000})"));
  std::vector<Hit> hits;
  collect(*s.tool, s.window(), 280, hits, 0);
  EXPECT_EQ(hits.size(), 3001u);
  EXPECT_EQ(hits.back().text, "r3000");
}

TEST(Collect, StopsBelowDepthSixty) {
  std::string tree = staticText("leaf");
  for (int d = 69; d >= 1; --d) {
    tree = R"({"role": "AXGroup", "title": "d)" + std::to_string(d) +
           R"(", "frame": [0, 0, 10, 10], "children": [)" + tree + "]}";
  }
  Sim s(windowScene(tree));
  std::vector<Hit> hits;
  collect(*s.tool, s.window(), 280, hits, 0);
  // The window is depth 0; d1 to d60 are depths 1 to 60.
  ASSERT_EQ(hits.size(), 60u);
  EXPECT_EQ(hits.back().text, "d60");
}

TEST(Rows, WindowWithoutFrameReadsNothingBelow) {
  Sim s(windowScene(staticText("a"), ""));
  const Element w = s.window();
  const auto before = s.platform->reads();
  EXPECT_TRUE(rows(*s.tool, w).empty());
  EXPECT_EQ(s.platform->reads() - before, 1u);  // the window's position, nothing below
}

TEST(Rows, StripIsWindowLeftEdgePlus280) {
  Sim s(windowScene(staticText("in", 379) + "," + staticText("out", 380),
                    R"("frame": [100, 0, 800, 600])"));
  EXPECT_EQ(texts(rows(*s.tool, s.window())), (std::vector<std::string>{"in"}));
}

// findRow.

TEST(FindRow, ExactPassBeforeContainment) {
  Sim s(windowScene(staticText("standup notes", 16, 100) + "," + staticText("Standup", 16, 200) +
                    "," + R"({"role": "AXButton", "title": "Stand", "frame": [0, 0, 100, 30]})" +
                    "," + staticText("Low", 16, 300, 100, 9.5) + "," +
                    staticText("Tall", 16, 300, 100, 10) + "," +
                    staticText("STANDUP later", 16, 400)));
  std::vector<Hit> hits = rows(*s.tool, s.window());
  auto exact = findRow(*s.tool, hits, "Standup");
  ASSERT_TRUE(exact);
  EXPECT_EQ(exact->rect.minY(), 200);
  auto contained = findRow(*s.tool, hits, "STANDUP");
  ASSERT_TRUE(contained);
  EXPECT_EQ(contained->text, "standup notes");
  EXPECT_FALSE(findRow(*s.tool, hits, "Stand ").has_value());
  EXPECT_FALSE(findRow(*s.tool, hits, "Low"));
  EXPECT_TRUE(findRow(*s.tool, hits, "Tall"));
  EXPECT_FALSE(findRow(*s.tool, {}, "Tall"));
}

TEST(FindRow, ButtonsNeverMatchAndNormalisationDoesNotMatter) {
  Sim s(windowScene(R"({"role": "AXButton", "title": "Caf\u00e9", "frame": [0, 0, 100, 30]},)" +
                    staticText("Cafe\u0301")));
  std::vector<Hit> hits = rows(*s.tool, s.window());
  auto hit = findRow(*s.tool, hits, "Caf\u00e9");
  ASSERT_TRUE(hit);
  EXPECT_EQ(role(*s.tool, hit->element), "AXStaticText");
}

// Web area, text lines and field candidates.

std::string nest(int levels, const std::string& inner) {
  std::string t = inner;
  for (int i = 0; i < levels; ++i) t = R"({"role": "AXGroup", "children": [)" + t + "]}";
  return t;
}

TEST(WebArea, OutermostFirstAndDepthForty) {
  Sim s(windowScene(R"({"id": "outer", "role": "AXWebArea", "children": [
                         {"id": "inner", "role": "AXWebArea"}]})"));
  auto web = findWebArea(*s.tool, s.window(), 0);
  ASSERT_TRUE(web);
  EXPECT_EQ(label(*s.tool, *web), "");
  EXPECT_EQ(kids(s, *web).size(), 1u);

  Sim deep(windowScene(nest(39, R"({"role": "AXWebArea"})")));  // at depth 40
  EXPECT_TRUE(findWebArea(*deep.tool, deep.window(), 0));
  Sim deeper(windowScene(nest(40, R"({"role": "AXWebArea"})")));  // at depth 41
  EXPECT_FALSE(findWebArea(*deeper.tool, deeper.window(), 0));
}

TEST(TextLines, RolesTrimAndLimit) {
  Sim s(windowScene(R"({"role": "AXHeading", "value": "  Today "},
                       {"role": "AXStaticText", "value": " ", "children": [
                         {"role": "AXStaticText", "value": "under blank"}]},
                       {"role": "AXButton", "title": "Send", "children": [
                         {"role": "AXStaticText", "value": "in button"}]},
                       {"role": "AXTextField", "value": "", "description": "described"})"));
  std::vector<std::string> lines;
  textOf(*s.tool, s.window(), lines, 0);
  EXPECT_EQ(lines, (std::vector<std::string>{"Today", "under blank", "in button", "described"}));

  Sim many(windowScene(R"({"role": "AXStaticText", "value": "l{i}", "repeat": 4100})"));
  std::vector<std::string> limited;
  textOf(*many.tool, many.window(), limited, 0);
  EXPECT_EQ(limited.size(), 4001u);
}

TEST(Gather, SizeRolesAndDescription) {
  Sim s(windowScene(R"(
    {"role": "AXTextArea", "title": "Message", "frame": [0, 0, 121, 15]},
    {"role": "AXTextArea", "title": "narrow", "frame": [0, 0, 120, 15]},
    {"role": "AXTextArea", "title": "short", "frame": [0, 0, 121, 14]},
    {"role": "AXComboBox", "placeholder": " To: ", "frame": [0, 0, 300, 30]},
    {"role": "AXSearchField", "placeholder": "Search", "frame": [0, 0, 300, 30]},
    {"role": "AXTextField", "placeholder": 5, "frame": [0, 0, 300, 30]},
    {"role": "AXTextField", "placeholder": "no frame"})"));
  std::vector<FieldCandidate> c;
  gather(*s.tool, s.window(), 0, c);
  ASSERT_EQ(c.size(), 3u);
  EXPECT_EQ(c[0].description, " Message");
  EXPECT_EQ(c[1].description, " To:  ");
  EXPECT_EQ(c[2].description, " ");
}

TEST(Gather, StopsOnceMoreThan200AreHeld) {
  Sim s(windowScene(R"({"role": "AXGroup", "repeat": 300, "children": [
    {"role": "AXTextArea", "frame": [0, 0, 300, 30]}]})"));
  std::vector<FieldCandidate> c;
  gather(*s.tool, s.window(), 0, c);
  EXPECT_EQ(c.size(), 201u);
}

// Pressing and scrolling.

TEST(Press, ClicksTheCentre) {
  Sim s(windowScene(staticText("Row", 10, 100, 200, 20)));
  auto hits = rows(*s.tool, s.window());
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_TRUE(press(*s.tool, hits[0]));
  EXPECT_EQ(s.platform->trace(),
            (std::vector<std::string>{"post moved 110,110", "pause 40000", "post down 110,110",
                                      "pause 60000", "post up 110,110"}));
}

TEST(Press, ChainEndsWhenAParentIsMissing) {
  Sim s(windowScene(R"({"role": "AXStaticText", "value": "x", "frame": [0, 0, 10, 10],
                        "attributes": {"AXParent": {"other": 1}}})",
                    R"("frame": [0, 0, 100, 100])", R"(, "failEvents": ["moved"])"));
  auto hits = rows(*s.tool, s.window());
  ASSERT_EQ(hits.size(), 1u);
  const auto before = s.platform->reads();
  EXPECT_FALSE(press(*s.tool, hits[0]));
  EXPECT_EQ(s.platform->reads() - before, 2u);  // action names, then the parent
  EXPECT_TRUE(s.platform->trace().empty());
}

TEST(Scroll, PointDeltaAndPause) {
  Sim s(windowScene(""));
  const Element w = s.window();
  scrollSidebar(*s.tool, w, 6);
  scrollSidebar(*s.tool, w, -6);
  scrollSidebar(*s.tool, w, std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(s.platform->trace(),
            (std::vector<std::string>{
                "post moved 120,465", "post scroll -6 lines at 120,465", "pause 350000",
                "post moved 120,465", "post scroll 6 lines at 120,465", "pause 350000",
                "post moved 120,465", "post scroll 2147483647 lines at 120,465", "pause 350000"}));
}

TEST(Scroll, WindowWithoutFrameDoesNothing) {
  Sim s(windowScene(
      "", R"("attributes": {"AXPosition": {"error": true}, "AXSize": {"size": [9, 9]}})"));
  scrollSidebar(*s.tool, s.window(), 6);
  EXPECT_TRUE(s.platform->trace().empty());
}

// Confirming a frame before acting on it.

TEST(Confirmed, UnmovedFrameNeedsOneReadAndNoPause) {
  Sim s(windowScene(staticText("Row", 10, 100, 200, 20)));
  auto hits = rows(*s.tool, s.window());
  ASSERT_EQ(hits.size(), 1u);
  const auto before = s.platform->reads();
  auto c = confirmed(*s.tool, hits[0], 280);
  ASSERT_TRUE(c.has_value());
  EXPECT_EQ(c->rect.y, 100);
  EXPECT_EQ(s.platform->reads() - before, 2u);  // position and size
  EXPECT_TRUE(s.platform->trace().empty());
}

TEST(Confirmed, LateListIsReadAgainOnceItHasReportedTheScroll) {
  // A list that reports where a scroll put its rows 0.6 s late: the row's
  // stale frame is replaced by the one it has on screen.
  Sim s(windowScene(R"({"role": "AXList", "frame": [0, 60, 280, 500],
      "scroll": {"lineHeight": 10, "lag": 0.6}, "children": [
        {"role": "AXStaticText", "value": "r{i}", "frame": [10, 60, 200, 20], "step": [0, 20],
         "repeat": 40}]})"));
  const Element w = s.window();
  scrollSidebar(*s.tool, w, 1);  // 10 points toward the end
  auto hits = rows(*s.tool, w);
  auto stale = findRow(*s.tool, hits, "r2");
  ASSERT_TRUE(stale.has_value());
  EXPECT_EQ(stale->rect.y, 100);  // where it was before the scroll
  auto c = confirmed(*s.tool, *stale, 280);
  ASSERT_TRUE(c.has_value());
  EXPECT_EQ(c->rect.y, 90);
  // 1 s after the wheel, then one recheck because the frame had moved.
  EXPECT_EQ(s.platform->trace(),
            (std::vector<std::string>{"post moved 120,465", "post scroll -1 lines at 120,465",
                                      "pause 350000", "pause 650000", "pause 50000"}));

  // Outside the strip left of the edge, the same frame is not confirmed.
  EXPECT_FALSE(confirmed(*s.tool, *stale, 10).has_value());
}

// A frame that moves on every read never settles.
class Drifting : public sim::SimPlatform {
 public:
  using SimPlatform::SimPlatform;
  std::optional<Value> copyAttribute(const Element& e, std::string_view name) override {
    auto v = SimPlatform::copyAttribute(e, name);
    if (v && name == "AXPosition") v->point.y += static_cast<double>(++drift_);
    return v;
  }

 private:
  int drift_ = 0;
};

TEST(Confirmed, FrameThatNeverSettlesIsNotActedOnAndTheWaitIsBounded) {
  std::string error;
  auto scene = sim::loadScene(windowScene(staticText("Row", 10, 100, 200, 20)), error);
  ASSERT_TRUE(scene) << error;
  Drifting p(scene, {"ombru-ax"});
  Tool t(p);
  Hit hit;
  auto app = p.applicationElement(p.runningApplications().front().processIdentifier);
  auto w = copyAttr(t, app, "AXWindows")->elements.at(0);
  hit.element = children(t, w).at(0);
  hit.text = "Row";
  hit.rect = *frame(t, hit.element);
  EXPECT_FALSE(confirmed(t, hit, 280).has_value());
  EXPECT_LE(p.virtualTime(), std::chrono::microseconds(1050000));
  EXPECT_GE(p.virtualTime(), std::chrono::microseconds(1000000));
  EXPECT_EQ(p.trace().size(), 20u);  // one pause per recheck, nothing posted
}

// Read counts: every read is a round trip to the target, so walks must not
// read more than their own rules ask for.

TEST(ReadCounts, WalksStayWithinTheirPerElementCost) {
  const std::string row = R"({"role": "AXCell", "title": "row {i}", "frame": [0, 0, 200, 20],
    "children": [{"role": "AXStaticText", "value": "row {i}", "frame": [0, 0, 200, 20]},
                 {"role": "AXTextField", "placeholder": "p", "frame": [0, 0, 200, 20]},
                 {"role": "AXImage"}]})";
  Sim s(windowScene(R"({"role": "AXWebArea", "children": [)" + row.substr(0, row.size() - 1) +
                    R"(, "repeat": 100}]})"));
  const Element w = s.window();
  const std::size_t elements = 2 + 100 * 4;  // window, web area, rows and their children

  auto measure = [&](auto walk) {
    const auto before = s.platform->reads();
    walk();
    return s.platform->reads() - before;
  };
  std::vector<Hit> hits;
  const auto collectReads = measure([&] { collect(*s.tool, w, 1e9, hits, 0); });
  EXPECT_LE(collectReads, 6 * elements);
  EXPECT_EQ(hits.size(), 200u);  // each row and its text; a placeholder is no label
  EXPECT_EQ(measure([&] { findRow(*s.tool, hits, "row 99"); }), hits.size());
  std::vector<std::string> lines;
  EXPECT_LE(measure([&] { textOf(*s.tool, w, lines, 0); }), 2 * elements + 3 * 200);
  std::vector<FieldCandidate> fields;
  EXPECT_LE(measure([&] { gather(*s.tool, w, 0, fields); }), 2 * elements + 6 * 100);
  EXPECT_EQ(measure([&] { findWebArea(*s.tool, w, 0); }),
            3u);  // window role and children, web area role
}

}  // namespace
}  // namespace ombru::ax::testing
