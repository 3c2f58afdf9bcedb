#include <gtest/gtest.h>

#include "scratch_dir.hpp"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "output.hpp"
#include "trim.hpp"

namespace stt {
namespace {

namespace fs = std::filesystem;

TEST(SttTrim, RemovesUnicodeSeparatorsTabsAndLineBreaksAtBothEnds) {
  EXPECT_EQ(trimWhitespaceAndNewlines("  inner text\n"), "inner text");
  EXPECT_EQ(trimWhitespaceAndNewlines("\t\v\f\r\n\u0085x\u0085"), "x");
  // No-break space, ideographic space, line and paragraph separators.
  EXPECT_EQ(trimWhitespaceAndNewlines("\u00a0\u3000\u2028caf\u00e9\u2029\u202f"), "caf\u00e9");
  EXPECT_EQ(trimWhitespaceAndNewlines(" \u2003 "), "");
  EXPECT_EQ(trimWhitespaceAndNewlines(""), "");
}

TEST(SttTrim, KeepsInnerSpaceAndCharactersOutsideTheSet) {
  EXPECT_EQ(trimWhitespaceAndNewlines(" a \n b "), "a \n b");
  // Zero-width space is a format character, not a separator.
  EXPECT_EQ(trimWhitespaceAndNewlines("\u200bword\u200b"), "\u200bword\u200b");
  // Information separators 0x1C-0x1F are not white space here.
  EXPECT_EQ(trimWhitespaceAndNewlines("\x1fword\x1c"), "\x1fword\x1c");
  // Bytes that are not UTF-8 are text and stop the trim.
  EXPECT_EQ(trimWhitespaceAndNewlines(" \xff word \xc3 "), "\xff word \xc3");
}

class SttAtomicWrite : public ScratchDirTest {
 protected:
  SttAtomicWrite() : ScratchDirTest("write") {}
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_F(SttAtomicWrite, CreatesAndReplacesAFileWithExactlyTheBytesGiven) {
  const auto path = (dir_ / "t.txt").string();
  ASSERT_TRUE(writeFileAtomically(path, "first, longer text"));
  EXPECT_EQ(readFile(path), "first, longer text");
  ASSERT_TRUE(writeFileAtomically(path, "\u00e9t\u00e9"));
  EXPECT_EQ(readFile(path), "\u00e9t\u00e9");
  ASSERT_TRUE(writeFileAtomically(path, ""));
  EXPECT_EQ(readFile(path), "");
  EXPECT_EQ(entries(), std::vector<std::string>{"t.txt"});
}

TEST_F(SttAtomicWrite, AFailedWriteLeavesNothingBehind) {
  EXPECT_FALSE(writeFileAtomically((dir_ / "no" / "t.txt").string(), "x"));
  // A directory in the way is not replaced.
  fs::create_directory(dir_ / "d");
  EXPECT_FALSE(writeFileAtomically((dir_ / "d").string(), "x"));
  EXPECT_TRUE(fs::is_directory(dir_ / "d"));
  EXPECT_FALSE(writeFileAtomically((dir_ / "").string(), "x"));
  EXPECT_EQ(entries(), std::vector<std::string>{"d"});
}

TEST_F(SttAtomicWrite, ARelativePathIsWrittenInTheWorkingDirectory) {
  const auto previous = fs::current_path();
  fs::current_path(dir_);
  EXPECT_TRUE(writeFileAtomically("rel.txt", "here"));
  fs::current_path(previous);
  EXPECT_EQ(readFile(dir_ / "rel.txt"), "here");
}

}  // namespace
}  // namespace stt
