#include <gtest/gtest.h>
#include <unicode/locid.h>

#include <limits>

#include "text.hpp"

namespace ombru::ax::text {
namespace {

TEST(Trim, LabelSetCoversSeparatorsControlsAndNextLine) {
  EXPECT_EQ(trimWhitespaceAndNewlines(" \t\n\r\v\f\u0085\u00A0\u2028\u2029\u3000Inbox \n"),
            "Inbox");
  EXPECT_EQ(trimWhitespaceAndNewlines("  a \n b  "), "a \n b");
  // A zero-width space is a format character, not whitespace.
  EXPECT_EQ(trimWhitespaceAndNewlines("\u200Bx"), "\u200Bx");
  EXPECT_EQ(trimWhitespaceAndNewlines(" \n\t "), "");
}

TEST(Trim, NameSetIsSpacesAndTabsOnly) {
  EXPECT_EQ(trimSpacesAndTabs("\t a\u00A0\u2003"), "a");
  EXPECT_EQ(trimSpacesAndTabs("Standup\n"), "Standup\n");
  EXPECT_EQ(trimSpacesAndTabs("\u2028x\r"), "\u2028x\r");
  EXPECT_EQ(trimSpacesAndTabs(" "), "");
}

TEST(Graphemes, CountsUserPerceivedCharacters) {
  EXPECT_EQ(graphemeCount("abc"), 3u);
  EXPECT_EQ(graphemeCount("e\u0301"), 1u);
  EXPECT_EQ(graphemeCount("\U0001F468\u200D\U0001F469\u200D\U0001F467"), 1u);
  EXPECT_EQ(graphemeCount("\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7"), 2u);
  EXPECT_EQ(graphemeCount("\r\n"), 1u);
  EXPECT_EQ(graphemeCount(""), 0u);
  EXPECT_EQ(graphemeCount(std::string(500, 'a'), 120), 120u);
}

TEST(Graphemes, PrefixKeepsWholeCharacters) {
  EXPECT_EQ(graphemePrefix("e\u0301e\u0301e\u0301", 2), "e\u0301e\u0301");
  EXPECT_EQ(graphemePrefix("short", 40), "short");
  EXPECT_EQ(graphemePrefix("abc", 0), "");
}

TEST(Equality, CanonicalEquivalentsAreEqual) {
  EXPECT_TRUE(equal("caf\u00e9", "cafe\u0301"));
  EXPECT_FALSE(equal("Chat", "chat"));
  EXPECT_FALSE(equal("Chat", "Chat "));
  EXPECT_TRUE(equal("", ""));
}

TEST(Containment, IgnoresCase) {
  EXPECT_TRUE(containsIgnoringCase("General Chat", "chat"));
  EXPECT_TRUE(containsIgnoringCase("\u00c9COLE", "\u00e9cole"));
  EXPECT_TRUE(containsIgnoringCase("Stra\u00dfe", "STRASSE"));
  EXPECT_TRUE(containsIgnoringCase("caf\u00e9", "CAFE\u0301"));
  EXPECT_FALSE(containsIgnoringCase("General", "chat"));
  EXPECT_FALSE(containsIgnoringCase("anything", ""));
}

TEST(Containment, DoesNotSplitACharacter) {
  EXPECT_FALSE(containsIgnoringCase("cafe\u0301", "cafe"));
  EXPECT_TRUE(containsIgnoringCase("cafe\u0301 cafe", "cafe"));
}

TEST(Containment, FollowsTheCurrentLocale) {
  const icu::Locale saved = icu::Locale::getDefault();
  UErrorCode err = U_ZERO_ERROR;
  icu::Locale::setDefault(icu::Locale("en_US"), err);
  EXPECT_TRUE(containsIgnoringCase("ISTANBUL", "istanbul"));
  icu::Locale::setDefault(icu::Locale("tr_TR"), err);
  EXPECT_FALSE(containsIgnoringCase("ISTANBUL", "istanbul"));
  EXPECT_TRUE(containsIgnoringCase("\u0130STANBUL", "istanbul"));
  icu::Locale::setDefault(saved, err);
}

TEST(Lower, UsesTheFullMapping) {
  EXPECT_EQ(lower("WORK"), "work");
  EXPECT_EQ(lower("\u0130"), "i\u0307");
  EXPECT_EQ(lower("\u03a3\u0391\u03a3"), "\u03c3\u03b1\u03c2");
}

TEST(Coordinates, TruncateTowardZeroWithDefinedEnds) {
  EXPECT_EQ(truncate(12.9), 12);
  EXPECT_EQ(truncate(-3.7), -3);
  EXPECT_EQ(truncate(-0.5), 0);
  EXPECT_EQ(truncate(std::numeric_limits<double>::quiet_NaN()), 0);
  EXPECT_EQ(truncate(std::numeric_limits<double>::infinity()),
            std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(truncate(-std::numeric_limits<double>::infinity()),
            std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(truncate(9.3e18), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(truncate(-9223372036854775808.0), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(truncate(9223372036854774784.0), 9223372036854774784);
}

TEST(Sanitize, IllFormedBytesBecomeReplacementCharacters) {
  EXPECT_EQ(sanitize("a\xff"
                     "b"),
            "a\uFFFD"
            "b");
  EXPECT_EQ(sanitize("\xc3"), "\uFFFD");
  EXPECT_EQ(trimWhitespaceAndNewlines(" \xed\xa0\x80 "), "\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(lineFeedsToSpaces("a\nb\n"), "a b ");
}

}  // namespace
}  // namespace ombru::ax::text
