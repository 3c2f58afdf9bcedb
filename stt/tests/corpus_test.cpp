// Accuracy on a corpus of synthetic voices made here: ombru-stt against the
// engine's floor (each file whole, in one call) on short clips, and a long
// recording of all of them joined, which must come back whole inside the
// recognition wait; and each through the recogniser service, which must
// print the very bytes the tool prints in process. The first case makes
// the corpus and leaves it, with its result, for the second.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "captured_console.hpp"
#include "engine_sphinx.hpp"
#include "prepared_dictionary.hpp"
#include "run_program.hpp"
#include "service_support.hpp"
#include "transcribe.hpp"
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

// The program's own flow and engine, in this process, with a wait no
// machine runs out of.
std::string transcribedWithoutTheWait(const fs::path& audio) {
  auto platform = stt::makeSphinxPlatform(stt::modelIn(stt::kModelDirectory));
  stt::testing::Captured console;
  const int status = stt::transcribe({"ombru-stt", audio.string()}, *platform, console,
                                     stt::Waits{stt::kAuthorisationWait, std::chrono::minutes(10)});
  EXPECT_EQ(status, 0) << console.err_;
  return console.out_;
}

// What ombru-stt heard in a file, run as the daemon runs it. On a machine
// that other work keeps busy a run may outlast the wait; it must then end as
// a time-out does, and the same flow, given time, must hear the file. A run
// that outlasts the wait on a machine mostly its own fails.
void hear(const fs::path& audio, const fs::path& stem, std::vector<std::string>& heard,
          std::string* printed = nullptr) {
  const auto before = machineTime();
  const auto started = std::chrono::steady_clock::now();
  const auto ran = runProgram({OMBRU_STT_BINARY, audio.string()}, stem);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
  const auto after = machineTime();
  ASSERT_EQ(ran.status, 0) << ran.err;
  heard = wordsOf(ran.out);
  if (printed != nullptr) *printed = ran.out;
  if (!heard.empty()) return;
  // A time-out's outcome: an empty transcript, no message, and not before
  // the wait was over.
  EXPECT_EQ(ran.out, "\n");
  EXPECT_EQ(ran.err, "");
  ASSERT_GE(took, stt::kRecognitionWait)
      << audio << ": an empty transcript before the wait was over";
  ASSERT_TRUE(before && after) << audio << ": nothing came back within the wait";
  const double others = othersShare(before, after, ran.cpuSeconds);
  std::printf(
      "%s: nothing came back within the wait: %.1f s, ombru-stt had %.1f s of processor "
      "time, other work %.0f%% of the machine\n",
      audio.c_str(), took.count(), ran.cpuSeconds, 100 * others);
  ASSERT_GE(others, kBusyMachine) << audio
                                  << ": nothing came back within the wait on a machine mostly free";
  heard = wordsOf(transcribedWithoutTheWait(audio));
  ASSERT_FALSE(heard.empty()) << audio << ": nothing came back even without the wait";
}

// Runs ombru-stt with a dictionary cache of the test's own, emptied first:
// the first run loads the full files and prepares the cut dictionary, and
// the runs after it load that one.
fs::path freshCache(const fs::path& folder) {
  fs::remove_all(folder);
  fs::create_directories(folder);
  setenv("XDG_CACHE_HOME", folder.c_str(), 1);
  return folder / "ombru-stt";
}

struct Compared {
  size_t words = 0, oursErrors = 0, floorErrors = 0, differing = 0;
};

// What the tool printed for `audio` through the service, when the same run
// in process printed `here`: the very same bytes. A run in process that
// outlasted the wait has nothing to compare with.
void expectTheServiceSame(ServiceHome& service, const fs::path& audio, const std::string& here,
                          const fs::path& stem) {
  if (wordsOf(here).empty()) return;
  const auto ran = service.run({OMBRU_STT_BINARY, audio.string()}, stem);
  EXPECT_EQ(ran.status, 0) << ran.err;
  if (ran.out != "\n" || !ran.err.empty()) {  // else a time-out of its own under load
    EXPECT_EQ(ran.out, here) << audio << ": the service and the tool in process differ";
  }
}

// Each file through ombru-stt and, all in one process, through the floor;
// and through the service, for the same bytes as in process.
// A short file is one segment and gets the engine's full search, so its
// words must be the floor's, whichever dictionary was loaded.
Compared compareWithTheFloor(const std::vector<std::string>& clips, const fs::path& cache,
                             const fs::path& stem) {
  std::vector<std::string> floorArgs{OMBRU_STT_FLOOR};
  for (const auto& clip : clips) floorArgs.push_back(clip + ".wav");
  Running floor(floorArgs, stem.string() + "-floor");
  const auto model = stt::modelIn(stt::kModelDirectory);
  Compared c;
  std::vector<std::vector<std::string>> references, ours;
  ServiceHome service(stem.string() + "-runtime");
  for (const auto& clip : clips) {
    references.push_back(wordsOf(readFile(clip + ".txt")));
    ours.emplace_back();
    std::string printed;
    hear(clip + ".wav", stem.string() + "-stt", ours.back(), &printed);
    expectTheServiceSame(service, clip + ".wav", printed, stem.string() + "-service");
    if (references.size() == 1) {
      EXPECT_TRUE(stt::findPreparedDictionary(cache, model.dict, model.lm))
          << "the first run prepared no dictionary";
    }
    c.words += references.back().size();
    c.oursErrors += wordErrors(references.back(), ours.back());
  }
  const auto floorRan = floor.wait();
  EXPECT_EQ(floorRan.status, 0) << floorRan.err;
  std::istringstream floorLines(floorRan.out);
  for (size_t i = 0; i < clips.size(); ++i) {
    std::string line;
    std::getline(floorLines, line);
    const auto heard = wordsOf(line);
    c.floorErrors += wordErrors(references[i], heard);
    if (heard != ours[i]) ++c.differing;
    EXPECT_EQ(ours[i], heard) << clips[i] << ": ombru-stt and the floor heard different words";
  }
  return c;
}

// ombru-stt may not lose accuracy against the engine it is built on.
TEST(SttCorpus, OnShortClipsTheWordsAreTheFloors) {
  fs::remove_all(kCorpus);
  fs::create_directories(kCorpus);
  const auto made = runProgram(
      {"sh", OMBRU_STT_CORPUS_SCRIPT, OMBRU_STT_SENTENCES, kCorpus.string()}, kCorpus / "make");
  ASSERT_EQ(made.status, 0) << made.err;
  const auto clips = corpusClips(kCorpus.string());
  ASSERT_GE(clips.size(), 30u);
  const auto cache = freshCache(kCorpus / "cache");
  const auto c = compareWithTheFloor(clips, cache, kCorpus / "short");
  const double ours = percent(c.oursErrors, c.words), engine = percent(c.floorErrors, c.words);
  std::printf("word error rate over %zu words: ombru-stt %.2f%%, floor %.2f%%\n", c.words, ours,
              engine);
  EXPECT_LE(ours, engine);
  std::ofstream(kShortResult) << ours;
}

// Real recordings, not synthesized: read speech and spoken commands.
TEST(SttRealSpeech, EachRecordingIsHeardAsTheEngineHearsItWhole) {
  const fs::path real = kCorpus.parent_path() / "real-speech";
  fs::remove_all(real);
  const auto made =
      runProgram({"sh", OMBRU_STT_REAL_SPEECH_SCRIPT, real.string()}, real.string() + "-make");
  ASSERT_EQ(made.status, 0) << made.err;
  const auto clips = corpusClips(real.string(), "real");
  ASSERT_GE(clips.size(), 11u);
  const auto cache = freshCache(real / "cache");
  const auto c = compareWithTheFloor(clips, cache, real / "run");
  std::printf("real speech, word error rate over %zu words: ombru-stt %.2f%%, floor %.2f%%\n",
              c.words, percent(c.oursErrors, c.words), percent(c.floorErrors, c.words));
  EXPECT_LE(c.oursErrors, c.floorErrors);
}

// Two minutes of speech: every sentence of the corpus, decoded in parallel
// segments. A transcript that came back at all came back inside the wait,
// since a run that outlasts it ends with an empty one.
TEST(SttCorpus, ALongRecordingComesBackWholeInsideTheWait) {
  double shortRate = -1;
  std::ifstream(kShortResult) >> shortRate;
  ASSERT_GE(shortRate, 0) << "no result from the short clips in " << kCorpus;
  std::vector<std::string> heard;
  std::string printed;
  ASSERT_NO_FATAL_FAILURE(hear(kCorpus / "long.wav", kCorpus / "long", heard, &printed));
  {
    // Its segments decoded on the service's two decoders: the same words.
    ServiceHome service(kCorpus / "long-runtime");
    expectTheServiceSame(service, kCorpus / "long.wav", printed, kCorpus / "long-service");
  }
  const auto reference = wordsOf(readFile(kCorpus / "long.txt"));
  const double rate = percent(wordErrors(reference, heard), reference.size());
  std::printf("word error rate over %zu words of the long recording: %.2f%% (short clips %.2f%%)\n",
              reference.size(), rate, shortRate);
  EXPECT_LE(rate, shortRate + 5.0);
}

}  // namespace
