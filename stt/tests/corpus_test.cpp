// Accuracy on a corpus of synthetic voices made here: ombru-stt against the
// engine's floor (each file whole, in one call) on short clips, and a long
// recording of all of them joined, which must come back whole inside the
// recognition wait. The first case makes the corpus and leaves it, with
// its result, for the second.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "run_program.hpp"
#include "word_errors.hpp"

namespace {

namespace fs = std::filesystem;

const fs::path kCorpus = OMBRU_STT_CORPUS_DIR;
const fs::path kShortResult = kCorpus / "short-word-error-rate";

double percent(size_t errors, size_t words) {
  return 100.0 * static_cast<double>(errors) / static_cast<double>(words);
}

TEST(SttWordErrors, CountsEditsOverWordsOnly) {
  EXPECT_EQ(wordErrors(wordsOf("The bus, is late."), wordsOf("the bus is late")), 0u);
  EXPECT_EQ(wordErrors(wordsOf("a b c d"), wordsOf("a x c")), 2u);
  EXPECT_EQ(wordErrors(wordsOf(""), wordsOf("a b")), 2u);
}

// ombru-stt may not lose accuracy against the engine it is built on.
TEST(SttCorpus, OnShortClipsTheWordErrorRateIsAtMostTheFloors) {
  fs::remove_all(kCorpus);
  fs::create_directories(kCorpus);
  const auto made = runProgram(
      {"sh", OMBRU_STT_CORPUS_SCRIPT, OMBRU_STT_SENTENCES, kCorpus.string()}, kCorpus / "make");
  ASSERT_EQ(made.status, 0) << made.err;
  const auto clips = corpusClips(kCorpus.string());
  ASSERT_GE(clips.size(), 30u);
  std::vector<std::string> floorArgs{OMBRU_STT_FLOOR};
  for (const auto& clip : clips) floorArgs.push_back(clip + ".wav");
  Running floor(floorArgs, kCorpus / "floor");

  size_t words = 0, oursErrors = 0, floorErrors = 0;
  std::vector<std::vector<std::string>> references;
  for (const auto& clip : clips) {
    references.push_back(wordsOf(readFile(clip + ".txt")));
    const auto ran = runProgram({OMBRU_STT_BINARY, clip + ".wav"}, kCorpus / "stt");
    ASSERT_EQ(ran.status, 0) << ran.err;
    words += references.back().size();
    oursErrors += wordErrors(references.back(), wordsOf(ran.out));
  }
  const auto floorRan = floor.wait();
  ASSERT_EQ(floorRan.status, 0) << floorRan.err;
  std::istringstream floorLines(floorRan.out);
  for (const auto& reference : references) {
    std::string line;
    std::getline(floorLines, line);
    floorErrors += wordErrors(reference, wordsOf(line));
  }
  const double ours = percent(oursErrors, words), engine = percent(floorErrors, words);
  std::printf("word error rate over %zu words: ombru-stt %.2f%%, floor %.2f%%\n", words, ours,
              engine);
  EXPECT_LE(ours, engine + 1.0);
  std::ofstream(kShortResult) << ours;
}

// Two minutes of speech: every sentence of the corpus, decoded in parallel
// segments. A transcript that came back at all came back inside the wait,
// since a run that outlasts it ends with an empty one.
TEST(SttCorpus, ALongRecordingComesBackWholeInsideTheWait) {
  double shortRate = -1;
  std::ifstream(kShortResult) >> shortRate;
  ASSERT_GE(shortRate, 0) << "no result from the short clips in " << kCorpus;
  const auto ran =
      runProgram({OMBRU_STT_BINARY, (kCorpus / "long.wav").string()}, kCorpus / "long");
  ASSERT_EQ(ran.status, 0) << ran.err;
  const auto reference = wordsOf(readFile(kCorpus / "long.txt"));
  const auto heard = wordsOf(ran.out);
  ASSERT_FALSE(heard.empty()) << "nothing came back within the wait";
  const double rate = percent(wordErrors(reference, heard), reference.size());
  std::printf("word error rate over %zu words of the long recording: %.2f%% (short clips %.2f%%)\n",
              reference.size(), rate, shortRate);
  EXPECT_LE(rate, shortRate + 5.0);
}

}  // namespace
