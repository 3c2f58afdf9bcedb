#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/state.hpp"

using namespace ombru::menu;

namespace {

State decode(const std::string& body) {
  return decodeState(body);
}

// Decodes {"active": [<entry>]} and returns its single entry.
Active entry(const std::string& json) {
  State s = decode("{\"active\": [" + json + "]}");
  EXPECT_EQ(s.active.size(), 1u) << json;
  return s.active.empty() ? Active{} : s.active.front();
}

}  // namespace

TEST(Decode, BodiesThatAreNotObjectsMeanNotRunning) {
  for (const char* body : {"", " ", "[]", "[1]", "null", "3", "\"{}\"", "true", "{", "{}x",
                           "{\"muted\":true,}", "\xff", "{\"a\":\"\xc3\"}", "{} {}"}) {
    EXPECT_EQ(decode(body), State{}) << "body: " << body;
  }
}

TEST(Decode, EmptyObjectIsRunningWithDefaults) {
  State want;
  want.running = true;
  EXPECT_EQ(decode("{}"), want);
  EXPECT_EQ(decode(" \n{ }\t"), want);
}

TEST(Decode, StatusIsIgnored) {
  EXPECT_TRUE(decodeState(500, "{\"error\": \"boom\"}").running);
  EXPECT_TRUE(decodeState(404, "{}").running);
  EXPECT_FALSE(decodeState(200, "not json").running);
}

TEST(Decode, FullDocument) {
  State s = decode(R"({
    "muted": true, "chat": true, "bound": "parser", "sessions": ["a", "b"],
    "waiting": [{"project": "w1"}, {"project": ""}],
    "last": {"takeaway": "done", "project": "p"},
    "engines": {"voice": "Ava", "hearing": "Whisper"},
    "active": [{"key": "k", "host": "h", "title": "t", "spoken": "s", "state": "busy",
                "idle_minutes": 3, "loop": {"on": false, "minutes": 5}, "next_in": -7}],
    "unknown": {"deep": [1, 2, 3]}
  })");
  State want;
  want.running = true;
  want.muted = true;
  want.chat = true;
  want.bound = "parser";
  want.sessions = {"a", "b"};
  want.waiting = {"w1", ""};
  want.takeaway = "done";
  want.project = "p";
  want.voice = "Ava";
  want.hearing = "Whisper";
  want.active = {Active("k", "h", "t", "s", "busy", 3, false, 5.0, -7)};
  EXPECT_EQ(s, want);
}

TEST(Decode, MistypedKeysKeepDefaults) {
  State s = decode(R"({"muted": 1, "chat": "true", "bound": 7, "sessions": "a",
                       "waiting": {"project": "x"}, "last": "text", "engines": ["Ava"],
                       "active": {"key": "k"}})");
  State want;
  want.running = true;
  EXPECT_EQ(s, want);

  // Null counts as missing.
  EXPECT_EQ(decode(R"({"muted": null, "bound": null, "last": null, "active": null})"), want);

  // Inside the two small objects, each key stands alone.
  s = decode(
      R"({"last": {"takeaway": 5, "project": "p"}, "engines": {"voice": "v", "hearing": null}})");
  EXPECT_EQ(s.takeaway, "");
  EXPECT_EQ(s.project, "p");
  EXPECT_EQ(s.voice, "v");
  EXPECT_EQ(s.hearing, "");
}

TEST(Decode, ListsAreAllOrNothing) {
  EXPECT_TRUE(decode(R"({"sessions": ["a", 1]})").sessions.empty());
  EXPECT_TRUE(decode(R"({"sessions": ["a", null]})").sessions.empty());
  EXPECT_EQ(decode(R"({"sessions": ["a", ""]})").sessions, (std::vector<std::string>{"a", ""}));

  EXPECT_EQ(decode(R"({"waiting": [{"project": "x"}, {"other": 1}, {"project": 2}]})").waiting,
            std::vector<std::string>{"x"});
  EXPECT_TRUE(decode(R"({"waiting": [{"project": "x"}, "y"]})").waiting.empty());
  EXPECT_TRUE(decode(R"({"waiting": [{"project": "x"}, []]})").waiting.empty());

  EXPECT_TRUE(decode(R"({"active": [{"key": "a"}, 3]})").active.empty());
  EXPECT_TRUE(decode(R"({"active": [{"key": "a"}, [{"key": "b"}]]})").active.empty());
  // An empty object is an entry with every default; none is skipped.
  State s = decode(R"({"active": [{}, {"key": "b"}, {"key": 5}]})");
  ASSERT_EQ(s.active.size(), 3u);
  EXPECT_EQ(s.active[0], Active{});
  EXPECT_EQ(s.active[1].key, "b");
  EXPECT_EQ(s.active[2].key, "");
}

TEST(Decode, LoopDefaults) {
  Active a = entry("{}");
  EXPECT_TRUE(a.loopOn);
  EXPECT_EQ(a.minutes, 10.0);
  a = entry(R"({"loop": {"on": false}})");
  EXPECT_FALSE(a.loopOn);
  EXPECT_EQ(a.minutes, 10.0);
  a = entry(R"({"loop": {"minutes": 5}})");
  EXPECT_TRUE(a.loopOn);
  EXPECT_EQ(a.minutes, 5.0);
  a = entry(R"({"loop": [false, 5]})");
  EXPECT_TRUE(a.loopOn);
  EXPECT_EQ(a.minutes, 10.0);
  a = entry(R"({"loop": {"on": 0, "minutes": "5"}})");
  EXPECT_TRUE(a.loopOn);
  EXPECT_EQ(a.minutes, 10.0);
  // Any JSON number is a minute count, fractional, negative or huge.
  EXPECT_EQ(entry(R"({"loop": {"minutes": 10.9}})").minutes, 10.9);
  EXPECT_EQ(entry(R"({"loop": {"minutes": -3}})").minutes, -3.0);
  EXPECT_EQ(entry(R"({"loop": {"minutes": 18446744073709551615}})").minutes,
            18446744073709551615.0);
  EXPECT_EQ(entry(R"({"loop": {"minutes": 1e300}})").minutes, 1e300);
}

TEST(Decode, IntegersMustBeWholeAndFit) {
  auto idle = [](const std::string& v) { return entry("{\"idle_minutes\": " + v + "}").idle; };
  EXPECT_EQ(idle("12"), 12);
  EXPECT_EQ(idle("-4"), -4);
  EXPECT_EQ(idle("2.0"), 2);
  EXPECT_EQ(idle("2e3"), 2000);
  EXPECT_EQ(idle("-0"), 0);
  EXPECT_EQ(idle("-0.0"), 0);
  EXPECT_EQ(idle("2.5"), 0);
  EXPECT_EQ(idle("\"2\""), 0);
  EXPECT_EQ(idle("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(idle("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(idle("9223372036854775808"), 0);      // one past the top, as unsigned
  EXPECT_EQ(idle("18446744073709551615"), 0);     // largest unsigned
  EXPECT_EQ(idle("9.223372036854775807e18"), 0);  // rounds to 2^63, outside
  EXPECT_EQ(idle("-9.223372036854775808e18"), INT64_MIN);
  EXPECT_EQ(idle("1e300"), 0);
  EXPECT_EQ(idle("123456789012345678901234567890"), 0);

  EXPECT_EQ(entry(R"({"next_in": -65})").nextIn, -65);
  EXPECT_EQ(entry(R"({"next_in": 59.5})").nextIn, 0);
}

TEST(Decode, BooleansAndNumbersStayApart) {
  // A boolean is not the number 0 or 1, and no number is a boolean.
  EXPECT_EQ(entry(R"({"idle_minutes": true, "next_in": false})").idle, 0);
  EXPECT_EQ(entry(R"({"next_in": true})").nextIn, 0);
  EXPECT_EQ(entry(R"({"loop": {"minutes": true}})").minutes, 10.0);
  EXPECT_FALSE(decode(R"({"muted": 1, "chat": 1})").muted);
  EXPECT_TRUE(entry(R"({"loop": {"on": 0}})").loopOn);
}

TEST(Decode, DuplicateKeysLastWins) {
  EXPECT_FALSE(decode(R"({"muted": true, "muted": false})").muted);
  EXPECT_FALSE(decode(R"({"muted": true, "muted": "yes"})").muted);
  EXPECT_EQ(decode(R"({"active": 3, "active": [{"key": "k"}]})").active.size(), 1u);
}

TEST(Decode, TextIsKeptExactly) {
  State s = decode(
      R"({"bound": "caf\u00e9 \ud83d\udc4d \"q\" \n", "waiting": [{"project": "a\u0000b"}]})");
  EXPECT_EQ(s.bound, "caf\xc3\xa9 \xf0\x9f\x91\x8d \"q\" \n");
  ASSERT_EQ(s.waiting.size(), 1u);
  EXPECT_EQ(s.waiting[0], std::string("a\0b", 3));
}
