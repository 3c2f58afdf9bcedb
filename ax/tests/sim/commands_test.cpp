// Decisions of the start-up and the sub-commands that the scene cases do not
// pin down one by one.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "sim_support.hpp"

namespace ombru::ax::testing {
namespace {

WindowValue dict(std::vector<WindowField> fields) {
  WindowValue v;
  v.kind = WindowValue::Kind::Dictionary;
  v.dictionary = std::move(fields);
  return v;
}
WindowValue text(std::string s) {
  WindowValue v;
  v.kind = WindowValue::Kind::Text;
  v.text = std::move(s);
  return v;
}
WindowValue integer(std::int64_t i) {
  WindowValue v;
  v.kind = WindowValue::Kind::Integer;
  v.integer = i;
  return v;
}
WindowValue real(double d) {
  WindowValue v;
  v.kind = WindowValue::Kind::Real;
  v.real = d;
  return v;
}

WindowValue window(WindowValue owner, WindowValue layer, WindowValue height) {
  return dict({{"kCGWindowOwnerName", std::move(owner)},
               {"kCGWindowLayer", std::move(layer)},
               {"kCGWindowBounds", dict({{"Height", std::move(height)}})}});
}

TEST(IsTargetWindow, EachTestRejects) {
  EXPECT_TRUE(isTargetWindow(window(text("Chat"), integer(0), real(200.5)), "Chat"));
  EXPECT_TRUE(isTargetWindow(window(text("Chat"), integer(0), integer(201)), "Chat"));
  EXPECT_FALSE(isTargetWindow(window(text("Chat"), integer(0), real(200)), "Chat"));
  EXPECT_FALSE(isTargetWindow(window(text("Chat"), integer(0), real(NAN)), "Chat"));
  EXPECT_FALSE(isTargetWindow(window(text("Chat"), real(0), real(300)), "Chat"));
  EXPECT_FALSE(isTargetWindow(window(text("Chat"), integer(3), real(300)), "Chat"));
  EXPECT_FALSE(isTargetWindow(window(text("chat"), integer(0), real(300)), "Chat"));
  EXPECT_FALSE(isTargetWindow(window(integer(5), integer(0), real(300)), "Chat"));
  EXPECT_FALSE(isTargetWindow(window(text("Chat"), integer(0), text("300")), "Chat"));
  EXPECT_FALSE(isTargetWindow(dict({}), ""));
  EXPECT_FALSE(isTargetWindow(text("Chat"), "Chat"));
  WindowValue flatBounds = window(text("Chat"), integer(0), real(300));
  flatBounds.dictionary[2].value = real(300);
  EXPECT_FALSE(isTargetWindow(flatBounds, "Chat"));
}

FieldCandidate candidate(const std::string& description, double bottom) {
  return FieldCandidate{Element(), Rect{0, bottom - 10, 100, 10}, description};
}

std::vector<std::string> descriptions(const std::vector<FieldCandidate>& c) {
  std::vector<std::string> out;
  for (const auto& f : c) out.push_back(f.description);
  return out;
}

TEST(FieldOrder, KeywordsFirstThenLowest) {
  EXPECT_TRUE(namesMessageInput(" Task"));
  EXPECT_TRUE(namesMessageInput("TYPE HERE"));
  EXPECT_TRUE(namesMessageInput("\u0130nbox ch\u00c2t CHAT"));
  EXPECT_FALSE(namesMessageInput("Search"));
  EXPECT_FALSE(namesMessageInput(" "));

  std::vector<FieldCandidate> c = {candidate("Search", 900), candidate("a", 100),
                                   candidate("b", 500),      candidate("Send it", 50),
                                   candidate("Reply", 60),   candidate("c", 500)};
  sortFields(c);
  EXPECT_EQ(descriptions(c),
            (std::vector<std::string>{"Reply", "Send it", "Search", "b", "c", "a"}));
}

TEST(FieldOrder, BottomsThatAreNotNumbersKeepWalkOrderSafely) {
  std::vector<FieldCandidate> c;
  for (int i = 0; i < 50; ++i) {
    c.push_back(candidate("f" + std::to_string(i),
                          i % 3 == 0 ? std::numeric_limits<double>::quiet_NaN() : i));
  }
  const std::vector<std::string> before = descriptions(c);
  sortFields(c);
  // No order is consistent with such bottoms; every candidate is kept, and
  // one that is not a number never moves.
  std::vector<std::string> after = descriptions(c);
  for (std::size_t i = 0; i < after.size(); i += 3) EXPECT_EQ(after[i], before[i]);
  std::vector<std::string> a = after, b = before;
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  EXPECT_EQ(a, b);
}

TEST(GroupButton, RoleAndFullLowerCase) {
  Sim s(windowScene(R"({"role": "AXButton", "title": "WORK", "frame": [0, 0, 100, 30]},
                       {"role": "AXStaticText", "value": "Work", "frame": [0, 40, 100, 30]},
                       {"role": "AXButton", "title": "\u0130STANBUL", "frame": [0, 80, 100, 30]})"));
  auto hits = rows(*s.tool, s.window());
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_TRUE(isGroupButton(*s.tool, hits[0], "work"));
  EXPECT_TRUE(isGroupButton(*s.tool, hits[0], "Work"));
  EXPECT_FALSE(isGroupButton(*s.tool, hits[0], "Wor"));
  EXPECT_FALSE(isGroupButton(*s.tool, hits[1], "Work"));
  EXPECT_TRUE(isGroupButton(*s.tool, hits[2], "i\u0307stanbul"));
  EXPECT_FALSE(isGroupButton(*s.tool, hits[2], "istanbul"));
}

// Start-up.

const char* kTwoApps = R"({"apps": [
  {"name": "Helper", "bundleId": "Chat", "pid": 7},
  {"name": "Chat", "bundleId": "com.example.chat", "pid": 8},
  {"nameHex": "43ff", "pid": 9}]})";

TEST(StartUp, NamesAreTrimmedOfSpacesAndTabsOnly) {
  // click on a target without windows: the names do not matter past the
  // check for none, so look at how they were read instead.
  Sim s(kTwoApps, {"ombru-ax", "click", "Chat", "\tStandup ", " ", "", "Line\n", "\u00a0"});
  EXPECT_EQ(run(*s.platform), 4);
  EXPECT_EQ(s.platform->out(), "no window\n");
  Sim none(kTwoApps, {"ombru-ax", "click", "Chat", " ", "\t", "\u2003"});
  EXPECT_EQ(run(*none.platform), 2);
  EXPECT_EQ(none.platform->out(), "no names\n");
  EXPECT_EQ(none.platform->trace().size(), 3u);  // wake pair and the start-up pause only
}

TEST(StartUp, EarlierBundleMatchWinsOverLaterName) {
  Sim s(kTwoApps, {"ombru-ax", "text", "Chat"});
  run(*s.platform);
  ASSERT_GE(s.platform->trace().size(), 4u);
  EXPECT_EQ(s.platform->trace()[3], "activate 7");
}

TEST(StartUp, IllFormedNamesCompareAsReplacementCharacters) {
  Sim s(kTwoApps, {"ombru-ax", "text", "C\xff"});
  run(*s.platform);
  ASSERT_GE(s.platform->trace().size(), 4u);
  EXPECT_EQ(s.platform->trace()[3], "activate 9");
  Sim t(kTwoApps, {"ombru-ax", "text", "C\xef\xbf\xbd"});
  run(*t.platform);
  EXPECT_EQ(t.platform->err(), "");
}

TEST(StartUp, EveryWordOutsideTheTableReads) {
  for (const char* word : {"READ", "Text", "", "probe "}) {
    Sim s(windowScene(
              R"({"role": "AXWebArea", "children": [{"role": "AXStaticText", "value": "x"}]})"),
          {"ombru-ax", word, "Chat"});
    EXPECT_EQ(run(*s.platform), 0) << word;
    EXPECT_EQ(s.platform->out(), "x\n") << word;
  }
}

}  // namespace
}  // namespace ombru::ax::testing
