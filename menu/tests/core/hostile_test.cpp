// Replies a broken or hostile daemon could send: each must give a defined
// State, and its menu must build, without a crash or a deep recursion.
#include <gtest/gtest.h>

#include <string>

#include "core/menu_model.hpp"
#include "core/state.hpp"

using namespace ombru::menu;

namespace {

constexpr std::size_t kDeep = 100000;

// depth copies of open, then middle, then depth copies of close.
std::string nested(const std::string& open, const std::string& middle, const std::string& close,
                   std::size_t depth) {
  std::string s;
  s.reserve((open.size() + close.size()) * depth + middle.size());
  for (std::size_t i = 0; i < depth; ++i) s += open;
  s += middle;
  for (std::size_t i = 0; i < depth; ++i) s += close;
  return s;
}

}  // namespace

TEST(Hostile, DeepNestingAnywhere) {
  // At the top: not an object.
  EXPECT_EQ(decodeState(nested("[", "", "]", kDeep)), State{});
  // Under an ignored key, and as a list element where an object is expected.
  State s = decodeState("{\"x\": " + nested("{\"x\": ", "0", "}", kDeep) + "}");
  EXPECT_TRUE(s.running);
  s = decodeState("{\"muted\": true, \"active\": [" + nested("[", "", "]", kDeep) + "]}");
  EXPECT_TRUE(s.running);
  EXPECT_TRUE(s.muted);
  EXPECT_TRUE(s.active.empty());
  // Where a scalar is read: the key is mistyped.
  s = decodeState("{\"active\": [{\"key\": \"k\", \"loop\": {\"on\": " +
                  nested("{\"a\": ", "1", "}", kDeep) + "}}]}");
  ASSERT_EQ(s.active.size(), 1u);
  EXPECT_EQ(s.active[0].key, "k");
  EXPECT_TRUE(s.active[0].loopOn);
  EXPECT_FALSE(buildMenu(s).empty());
}

TEST(Hostile, DeepUnterminatedNesting) {
  EXPECT_EQ(decodeState(std::string(kDeep, '[')), State{});
  EXPECT_EQ(decodeState("{\"active\": " + std::string(kDeep, '[')), State{});
  EXPECT_EQ(decodeState("{\"x\": " + std::string(kDeep, '{')), State{});
}

TEST(Hostile, FiftyMegabyteDocument) {
  std::string body;
  body.reserve(51u * 1000 * 1000);
  body += "{\"active\": [";
  const std::string longTitle(10000, 'T');
  for (int i = 0; i < 2000; ++i) {
    if (i > 0) body += ",";
    body += "{\"key\": \"k" + std::to_string(i) + "\", \"host\": \"h" + std::to_string(i % 3) +
            "\", \"title\": \"" + longTitle +
            "\", \"loop\": {\"on\": " + (i % 2 ? "true" : "false") + "}}";
  }
  body += "], \"sessions\": [";
  const std::string session(98, 's');
  for (int i = 0; i < 100000; ++i) body += (i ? ",\"" : "\"") + session + "\"";
  body += "], \"ignored\": [";
  for (int i = 0; i < 100000; ++i) body += i ? ",1.5" : "1.5";
  body += "], \"last\": {\"takeaway\": \"";
  const std::size_t takeawayStart = body.size();
  body.append(50u * 1000 * 1000 - takeawayStart, 'w');
  const std::size_t takeawaySize = body.size() - takeawayStart;
  body += "\"}}";
  ASSERT_GE(body.size(), 50u * 1000 * 1000);

  State s = decodeState(body);
  ASSERT_TRUE(s.running);
  ASSERT_EQ(s.active.size(), 2000u);
  EXPECT_EQ(s.active[1999].key, "k1999");
  EXPECT_EQ(s.sessions.size(), 100000u);
  EXPECT_EQ(s.takeaway.size(), takeawaySize);

  Menu m = buildMenu(s);
  // Header, status, separator, last, takeaway, separator, sessions, then the commands.
  ASSERT_GE(m.size(), 7u);
  EXPECT_EQ(m[4].title, "  " + std::string(57, 'w') + "\u2026");
  EXPECT_EQ(m[6].title, "Sessions \u00b7 2000 active, 1000 on smart loop");
  // Three host lines, 2000 entries, separator and two bulk entries.
  EXPECT_EQ(m[6].submenu.size(), 3u + 2000u + 3u);
}

TEST(Hostile, ExtremeNumbers) {
  // Beyond the range of a double a number saturates to the largest double of
  // its sign, and the rest of the document is still read.
  State s = decodeState("{\"x\": 1e400, \"muted\": true, \"bound\": \"a\\\"1e999\"}");
  EXPECT_TRUE(s.running);
  EXPECT_TRUE(s.muted);
  EXPECT_EQ(s.bound, "a\"1e999");  // text that looks like a number is left alone
  s = decodeState(
      "{\"active\": [{\"loop\": {\"minutes\": -1e400}, \"idle_minutes\": 1e400, "
      "\"next_in\": -1" +
      std::string(5000, '0') + "}]}");
  ASSERT_EQ(s.active.size(), 1u);
  EXPECT_EQ(s.active[0].minutes, -1.7976931348623157e308);
  EXPECT_EQ(s.active[0].idle, 0);
  EXPECT_EQ(s.active[0].nextIn, 0);
  Menu m = buildMenu(s);
  ASSERT_GE(m.size(), 4u);
  // No minute choice carries a check mark for an interval with no integer form.
  const Item& sessions = m[3];
  ASSERT_GE(sessions.submenu.size(), 2u);
  int choices = 0;
  for (const Item& item : sessions.submenu[1].submenu) {
    if (item.action != actions::setMinutes) continue;
    ++choices;
    EXPECT_FALSE(item.checked) << item.title;
  }
  EXPECT_EQ(choices, 6);
  // The largest double itself is a number, not an overflow.
  s = decodeState("{\"active\": [{\"loop\": {\"minutes\": 1.7976931348623157e308}}]}");
  ASSERT_EQ(s.active.size(), 1u);
  EXPECT_EQ(s.active[0].minutes, 1.7976931348623157e308);
  // Invalid JSON stays invalid after saturation.
  EXPECT_EQ(decodeState("{\"x\": 1e400,}"), State{});
  // Underflow is zero, and minus zero is zero.
  s = decodeState(
      "{\"active\": [{\"loop\": {\"minutes\": 1e-400}, \"idle_minutes\": -0, \"next_in\": -0.0}]}");
  ASSERT_EQ(s.active.size(), 1u);
  EXPECT_EQ(s.active[0].minutes, 0.0);
  EXPECT_EQ(s.active[0].idle, 0);
  EXPECT_EQ(s.active[0].nextIn, 0);
  s = decodeState("{\"active\": [{\"idle_minutes\": 0." + std::string(5000, '0') + "1}]}");
  ASSERT_TRUE(s.running);
  EXPECT_EQ(s.active[0].idle, 0);
}

TEST(Hostile, ControlAndInvalidText) {
  EXPECT_EQ(decodeState("{\"bound\": \"a\nb\"}"), State{});          // raw control character
  EXPECT_EQ(decodeState("{\"bound\": \"\xed\xa0\x80\"}"), State{});  // encoded surrogate
  EXPECT_EQ(decodeState("{\"bound\": \"\\ud800\"}"), State{});       // lone surrogate escape
  EXPECT_EQ(decodeState(std::string("{\"bound\": \"a\0b\"}", 15)), State{});
  EXPECT_TRUE(decodeState("\xef\xbb\xbf{}").running);  // a byte-order mark is allowed
}
