#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "core/text.hpp"

using namespace ombru::menu;

namespace {
const std::string kThumb = "\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd";  // thumbs up, medium skin tone
const std::string kFamily =
    "\xf0\x9f\x91\xa8\xe2\x80\x8d\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x91\xa7\xe2\x80\x8d\xf0\x9f"
    "\x91\xa6";                                                // ZWJ family of four
const std::string kAccented = "e\xcc\x81\xcc\xa3";             // e + two combining marks
const std::string kFlag = "\xf0\x9f\x87\xab\xf0\x9f\x87\xb7";  // regional indicators F R
const std::string kEllipsis = "\xe2\x80\xa6";
}  // namespace

TEST(Text, CharactersAreGraphemeClusters) {
  EXPECT_EQ(characterCount(""), 0);
  EXPECT_EQ(characterCount("abc"), 3);
  EXPECT_EQ(characterCount(kThumb), 1);
  EXPECT_EQ(characterCount(kFamily), 1);
  EXPECT_EQ(characterCount(kAccented), 1);
  EXPECT_EQ(characterCount(kFlag + kFlag), 2);
  EXPECT_EQ(characterCount("\r\n"), 1);
  EXPECT_EQ(characterCount("\xe4\xbd\xa0\xe5\xa5\xbd"), 2);  // two CJK ideographs
  // Broken UTF-8 counts without reading past the end.
  EXPECT_GE(characterCount("a\xff\xc3"), 2);
}

TEST(Text, TruncateKeepsTextThatFits) {
  EXPECT_EQ(ombru::menu::truncate("", 5), "");
  EXPECT_EQ(ombru::menu::truncate("abcde", 5), "abcde");
  EXPECT_EQ(ombru::menu::truncate(kFamily + kThumb + kAccented, 3), kFamily + kThumb + kAccented);
  EXPECT_EQ(ombru::menu::truncate("a", 1), "a");
}

TEST(Text, TruncateCutsToExactlyN) {
  EXPECT_EQ(ombru::menu::truncate("abcdef", 5), "abcd" + kEllipsis);
  EXPECT_EQ(ombru::menu::truncate("ab", 1), kEllipsis);
  // Clusters are never split.
  std::string mixed = kThumb + kFamily + kAccented + kFlag + "z";
  EXPECT_EQ(ombru::menu::truncate(mixed, 4), kThumb + kFamily + kAccented + kEllipsis);
  EXPECT_EQ(characterCount(ombru::menu::truncate(mixed, 4)), 4);
  EXPECT_EQ(ombru::menu::truncate(kAccented + kAccented, 1), kEllipsis);
  // An ellipsis already in the text is just another character.
  EXPECT_EQ(ombru::menu::truncate(kEllipsis + kEllipsis + kEllipsis, 2), kEllipsis + kEllipsis);
}

TEST(Text, TruncateLimitBelowOne) {
  EXPECT_EQ(ombru::menu::truncate("", 0), "");
  EXPECT_EQ(ombru::menu::truncate("a", 0), "a");
  EXPECT_EQ(ombru::menu::truncate("ab", -5), kEllipsis);
  EXPECT_EQ(ombru::menu::truncate("ab", INT64_MIN), kEllipsis);
}

TEST(Text, Countdown) {
  EXPECT_EQ(countdown(0), "next smart loop in 0:00");
  EXPECT_EQ(countdown(59), "next smart loop in 0:59");
  EXPECT_EQ(countdown(60), "next smart loop in 1:00");
  EXPECT_EQ(countdown(125), "next smart loop in 2:05");
  EXPECT_EQ(countdown(3600), "next smart loop in 60:00");
  // Truncation toward zero: the seconds carry the sign.
  EXPECT_EQ(countdown(-5), "next smart loop in 0:-5");
  EXPECT_EQ(countdown(-60), "next smart loop in -1:00");
  EXPECT_EQ(countdown(-65), "next smart loop in -1:-5");
  EXPECT_EQ(countdown(-130), "next smart loop in -2:-10");
  EXPECT_EQ(countdown(-3599), "next smart loop in -59:-59");
  EXPECT_EQ(countdown(INT64_MAX), "next smart loop in 153722867280912930:07");
  EXPECT_EQ(countdown(INT64_MIN), "next smart loop in -153722867280912930:-8");
}
