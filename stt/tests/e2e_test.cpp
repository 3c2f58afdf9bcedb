// Runs the real ombru-stt on speech made by espeak-ng and on broken input,
// and checks what a caller sees: exit status, standard output and error,
// and the output file.
#include <gtest/gtest.h>

#include "run_program.hpp"
#include "scratch_dir.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

namespace {

namespace fs = std::filesystem;

class SttEndToEnd : public ScratchDirTest {
 protected:
  SttEndToEnd() : ScratchDirTest("e2e") {}
  Ran spawn(std::vector<std::string> argv) { return runProgram(std::move(argv), dir_ / "run"); }

  Ran stt(std::vector<std::string> words) {
    words.insert(words.begin(), OMBRU_STT_BINARY);
    return spawn(std::move(words));
  }

  fs::path speak(const std::string& name, const std::string& sentence) {
    const fs::path path = dir_ / name;
    const auto ran = spawn({"espeak-ng", "-v", "en-us+f2", "-w", path.string(), sentence});
    EXPECT_EQ(ran.status, 0) << ran.err;
    return path;
  }

  void sox(std::vector<std::string> words) {
    words.insert(words.begin(), "sox");
    const auto ran = spawn(words);
    EXPECT_EQ(ran.status, 0) << ran.err;
  }
};

// How many of the key words were heard. The engine gets some words of a
// synthetic voice wrong, so a test asks for a few of them, not all.
int heard(const std::string& transcript, const std::vector<std::string>& keys) {
  std::string lower;
  for (char c : transcript) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::istringstream words(lower);
  std::vector<std::string> got{std::istream_iterator<std::string>(words), {}};
  return static_cast<int>(std::count_if(keys.begin(), keys.end(), [&](const std::string& k) {
    return std::find(got.begin(), got.end(), k) != got.end();
  }));
}

struct Sentence {
  std::string name;
  std::string text;
  std::vector<std::string> keys;
};

void PrintTo(const Sentence& sentence, std::ostream* os) {
  *os << '"' << sentence.text << '"';
}

class SttSpeech : public SttEndToEnd, public ::testing::WithParamInterface<Sentence> {};

TEST_P(SttSpeech, TheKeyWordsAreHeardAndPrintedOnOneLine) {
  const auto wav = speak("speech.wav", GetParam().text);
  const auto ran = stt({wav.string()});
  EXPECT_EQ(ran.status, 0);
  EXPECT_EQ(ran.err, "");
  ASSERT_FALSE(ran.out.empty());
  EXPECT_EQ(ran.out.back(), '\n');
  EXPECT_EQ(std::count(ran.out.begin(), ran.out.end(), '\n'), 1);
  EXPECT_GE(heard(ran.out, GetParam().keys), 3) << ran.out;
}

INSTANTIATE_TEST_SUITE_P(
    Sentences, SttSpeech,
    ::testing::Values(
        Sentence{"Meeting",
                 "please send a message to the team about the meeting tomorrow morning",
                 {"send", "message", "team", "meeting", "tomorrow", "morning"}},
        Sentence{"Market",
                 "the stock market fell sharply in new york yesterday",
                 {"stock", "market", "new", "york", "yesterday"}}),
    [](const auto& info) { return info.param.name; });

TEST_F(SttEndToEnd, StereoFlacAtAnotherRateGoesToTheOutputFile) {
  const auto wav = speak("speech.wav", "the stock market fell sharply in new york yesterday");
  const auto flac = (dir_ / "speech.flac").string();
  sox({wav.string(), "-r", "44100", "-c", "2", flac});
  const auto out = (dir_ / "out.txt").string();
  { std::ofstream(out) << "an older transcript that must go"; }
  const auto ran = stt({flac, out});
  EXPECT_EQ(ran.status, 0);
  EXPECT_EQ(ran.out, "");
  EXPECT_EQ(ran.err, "");
  const auto text = readFile(out);
  EXPECT_GE(heard(text, {"stock", "market", "new", "york", "yesterday"}), 3) << text;
  ASSERT_FALSE(text.empty());
  EXPECT_NE(text.back(), '\n');
  EXPECT_NE(text.front(), '!');
}

TEST_F(SttEndToEnd, TheBundledExampleIsTranscribedAndALateOutputPathIgnored) {
  const auto out = dir_ / "out.txt";
  const auto ran = stt({OMBRU_STT_EXAMPLE, "--server-ok", out.string()});
  EXPECT_EQ(ran.status, 0);
  EXPECT_EQ(ran.err, "");
  EXPECT_GE(heard(ran.out, {"send", "message", "team", "meeting", "tomorrow", "morning"}), 4)
      << ran.out;
  EXPECT_FALSE(fs::exists(out));
}

TEST_F(SttEndToEnd, SilenceIsAnEmptyTranscript) {
  const auto silent = (dir_ / "silent.wav").string();
  sox({"-n", "-r", "16000", "-c", "1", "-b", "16", silent, "trim", "0", "3"});
  auto ran = stt({silent});
  EXPECT_EQ(ran.status, 0);
  EXPECT_EQ(ran.out, "\n");
  EXPECT_EQ(ran.err, "");

  const auto out = dir_ / "out.txt";
  { std::ofstream(out) << "old"; }
  ran = stt({silent, out.string()});
  EXPECT_EQ(ran.status, 0);
  EXPECT_EQ(ran.out, "");
  EXPECT_EQ(readFile(out), "");
}

TEST_F(SttEndToEnd, AMissingFileIsARecognitionFailure) {
  const auto out = dir_ / "out.txt";
  const auto ran = stt({(dir_ / "absent.wav").string(), out.string()});
  EXPECT_EQ(ran.status, 7);
  EXPECT_EQ(ran.out, "");
  EXPECT_EQ(ran.err, "recognition-failed: System error : No such file or directory.\n");
  EXPECT_EQ(readFile(out), "!recognition-failed: System error : No such file or directory.");
}

TEST_F(SttEndToEnd, ACorruptFileIsARecognitionFailure) {
  const auto corrupt = dir_ / "corrupt.wav";
  {
    std::mt19937 random(7);
    std::ofstream file(corrupt, std::ios::binary);
    for (int i = 0; i < 20000; ++i) file.put(static_cast<char>(random()));
  }
  const auto out = dir_ / "out.txt";
  const auto ran = stt({corrupt.string(), out.string()});
  EXPECT_EQ(ran.status, 7);
  EXPECT_EQ(ran.out, "");
  ASSERT_TRUE(ran.err.starts_with("recognition-failed: ")) << ran.err;
  EXPECT_GT(ran.err.size(), std::string("recognition-failed: \n").size());
  EXPECT_EQ(ran.err.back(), '\n');
  EXPECT_EQ(readFile(out), "!" + ran.err.substr(0, ran.err.size() - 1));

  // The MP3 decoder beneath libsndfile has warnings of its own to print for
  // this one; none of them may reach the caller.
  const auto mp3 = dir_ / "broken.mp3";
  {
    std::ofstream file(mp3, std::ios::binary);
    file << "\xff\xfb\x90\x64" << std::string(400, '\0');
  }
  const auto noisy = stt({mp3.string()});
  EXPECT_EQ(noisy.status, 7);
  EXPECT_TRUE(noisy.err.starts_with("recognition-failed: ")) << noisy.err;
  EXPECT_EQ(std::count(noisy.err.begin(), noisy.err.end(), '\n'), 1) << noisy.err;

  // A truncated header is no better.
  const auto wav = speak("speech.wav", "hello");
  fs::resize_file(wav, 30);
  const auto truncated = stt({wav.string()});
  EXPECT_EQ(truncated.status, 7);
  EXPECT_TRUE(truncated.err.starts_with("recognition-failed: ")) << truncated.err;
  EXPECT_EQ(truncated.out, "");
}

TEST_F(SttEndToEnd, WithoutArgumentsItPrintsUsage) {
  const auto ran = stt({});
  EXPECT_EQ(ran.status, 2);
  EXPECT_EQ(ran.out, "");
  EXPECT_EQ(ran.err, "usage: ombru-stt <audio-file> [--server-ok]\n");
}

}  // namespace
