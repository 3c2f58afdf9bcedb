// Trees no real application should expose: loops, a million elements, huge
// and ill-formed labels. Each run must end within the walks' own bounds.
#include <gtest/gtest.h>

#include "sim_support.hpp"

namespace ombru::ax::testing {
namespace {

int runArgs(Sim& s) {
  return run(*s.platform);
}

// The window lists itself, and one of its groups lists the window twice, so
// a walk that re-entered it would branch at every level down to depth 60.
const std::string kLoop = windowScene(
    R"({"role": "AXStaticText", "value": "one", "frame": [10, 100, 100, 20]},
       {"role": "AXStaticText", "value": "two", "frame": [10, 130, 100, 20]},
       {"role": "AXStaticText", "value": "three", "frame": [10, 160, 100, 20]},
       {"role": "AXStaticText", "value": "four", "frame": [10, 190, 100, 20]},
       {"role": "AXStaticText", "value": "five", "frame": [10, 220, 100, 20]},
       {"ref": "main"},
       {"role": "AXGroup", "children": [{"ref": "main"}, {"ref": "main"}, {"ref": "app"}]})",
    R"("title": "Loop", "frame": [0, 0, 1000, 800])");

TEST(Hostile, TreeThatLoopsBackToItsRoot) {
  Sim s(kLoop);
  std::vector<Hit> hits;
  collect(*s.tool, s.window(), 1e9, hits, 0);
  EXPECT_EQ(hits.size(), 6u);  // the window and its five texts, once each
  EXPECT_LT(s.platform->reads(), 200u);

  Sim text(kLoop, {"ombru-ax", "text", "Chat"});
  EXPECT_EQ(runArgs(text), 0);
  EXPECT_EQ(text.platform->out(), "0\tLoop\n10\tone\n10\ttwo\n10\tthree\n10\tfour\n10\tfive\n");
  Sim find(kLoop, {"ombru-ax", "find", "Chat", "absent"});
  EXPECT_EQ(runArgs(find), 0);
  EXPECT_EQ(find.platform->out(), "no\n");
  Sim read(kLoop, {"ombru-ax", "read", "Chat"});
  EXPECT_EQ(runArgs(read), 5);
  EXPECT_EQ(read.platform->err(), "no-web-area\n");
  Sim field(kLoop, {"ombru-ax", "field", "Chat"});
  EXPECT_EQ(runArgs(field), 0);
  EXPECT_EQ(field.platform->out(), "no field\n");
}

TEST(Hostile, LoopThroughParentsEndsThePressFallback) {
  Sim s(windowScene(R"({"id": "a", "role": "AXStaticText", "value": "Row", "frame": [0, 0, 100, 20],
                        "attributes": {"AXParent": {"element": "a"}}})",
                    R"("frame": [0, 0, 1000, 800])", R"(, "failEvents": ["down"])"));
  auto hits = rows(*s.tool, s.window());
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_FALSE(press(*s.tool, hits[0]));
  // The window list; the window's frame; the walk (4 reads for the window, 4
  // for the row); then action names and parent for each of six tries.
  EXPECT_EQ(s.platform->reads(), 1u + 2u + 4u + 4u + 6u * 2u);
}

// 1000 groups of 1000 elements each, below the web area.
std::string million(const std::string& leaf) {
  return windowScene(R"({"role": "AXWebArea", "children": [{"role": "AXGroup", "repeat": 1000,
    "children": [)" + leaf +
                     R"(]}]})");
}

TEST(Hostile, MillionUnlabelledElementsAreWalkedOnce) {
  Sim s(million(R"({"role": "AXGroup", "repeat": 1000})"), {"ombru-ax", "probe", "Chat"});
  EXPECT_EQ(runArgs(s), 0);
  EXPECT_EQ(s.platform->out(), "web-area-reachable lines=0\n");
  // Two reads for each element of the text walk, and a few for the start.
  EXPECT_LE(s.platform->reads(), 2u * 1001001u + 20u);
}

TEST(Hostile, MillionLabelledElementsStopAtTheListLimits) {
  const std::string leaf =
      R"({"role": "AXStaticText", "value": "line {i}", "frame": [0, 0, 50, 20], "repeat": 1000})";
  Sim text(million(leaf), {"ombru-ax", "text", "Chat"});
  EXPECT_EQ(runArgs(text), 0);
  EXPECT_EQ(std::count(text.platform->out().begin(), text.platform->out().end(), '\n'), 3001);
  Sim read(million(leaf), {"ombru-ax", "read", "Chat"});
  EXPECT_EQ(runArgs(read), 0);
  EXPECT_EQ(std::count(read.platform->out().begin(), read.platform->out().end(), '\n'), 4001);
  EXPECT_LT(read.platform->reads(), 30000u);
}

TEST(Hostile, TenMegabyteLabel) {
  const std::string big = R"({"role": "AXStaticText", "value": {"text": "ab ", "repeat": 3500000},
    "frame": [0, 100, 50, 20], "children": [{"role": "AXStaticText", "value": "inside",
    "frame": [0, 130, 50, 20]}]})";
  Sim s(windowScene(big));
  std::vector<Hit> hits;
  collect(*s.tool, s.window(), 1e9, hits, 0);
  ASSERT_EQ(hits.size(), 1u);  // too long to be a hit, but its child is walked
  EXPECT_EQ(hits[0].text, "inside");

  Sim read(windowScene(R"({"role": "AXWebArea", "children": [)" + big + "]}"),
           {"ombru-ax", "read", "Chat"});
  EXPECT_EQ(runArgs(read), 0);
  EXPECT_EQ(read.platform->out().size(), 3500000u * 3 - 1 + 1 + 7);
  EXPECT_EQ(read.platform->out().substr(0, 6), "ab ab ");
}

TEST(Hostile, IllFormedUtf8IsPrintedAsReplacementCharacters) {
  Sim s(windowScene(R"(
    {"role": "AXStaticText", "value": {"hex": "ff 41 c3 28 e2 82"}, "frame": [1, 100, 50, 20]},
    {"role": "AXStaticText", "value": {"hex": "ed a0 80 0a 42"}, "frame": [2, 100, 50, 20]},
    {"role": "AXStaticText", "value": "c", "frame": [3, 100, 50, 20]},
    {"role": "AXStaticText", "value": "d", "frame": [4, 100, 50, 20]},
    {"role": "AXStaticText", "value": "e", "frame": [5, 100, 50, 20]},
    {"role": "AXTextArea", "placeholder": {"hex": "fe fe"}, "frame": [5, 100, 150, 20]})"),
        {"ombru-ax", "text", "Chat"});
  EXPECT_EQ(runArgs(s), 0);
  EXPECT_EQ(s.platform->out(),
            "1\t\uFFFD"
            "A\uFFFD(\uFFFD\n2\t\uFFFD\uFFFD\uFFFD B\n3\tc\n4\td\n5\te\n");
  Sim f(windowScene(R"({"role": "AXTextArea", "placeholder": {"hex": "fe fe"},
                        "frame": [5, 100, 150, 20]})"),
        {"ombru-ax", "field", "Chat"});
  EXPECT_EQ(runArgs(f), 0);
  EXPECT_EQ(f.platform->out(), "yes \uFFFD\uFFFD\n");
}

TEST(Hostile, SceneLoaderRefusesBadScenes) {
  std::string error;
  EXPECT_FALSE(sim::loadScene("{", error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(sim::loadScene(
      R"({"apps": [{"pid": 1, "element": {"children": [{"ref": "nope"}]}}]})", error));
  EXPECT_FALSE(sim::loadScene(R"({"apps": [{"pid": 1, "element": {"colour": 1}}]})", error));
  EXPECT_FALSE(sim::loadScene(
      R"({"apps": [{"pid": 1, "element": {"id": "a", "children": [{"id": "a"}]}}]})", error));
  std::string deep;
  for (int i = 0; i < 20000; ++i) deep += R"({"children": [)";
  deep += "{}";
  for (int i = 0; i < 20000; ++i) deep += "]}";
  EXPECT_FALSE(sim::loadScene(R"({"apps": [{"pid": 1, "element": )" + deep + "}]}", error));
  EXPECT_TRUE(sim::loadScene("{}", error));
}

}  // namespace
}  // namespace ombru::ax::testing
