// Runs the real ombru-stt on speech made by espeak-ng and on broken input,
// and checks what a caller sees: exit status, standard output and error,
// and the output file.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include "scratch_dir.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Ran {
  int status = -1;
  std::string out, err;
};

class SttEndToEnd : public ScratchDirTest {
 protected:
  SttEndToEnd() : ScratchDirTest("e2e") {}
  // Runs a program to its end, its output collected in files.
  Ran spawn(std::vector<std::string> argv) {
    const fs::path out = dir_ / ".stdout", err = dir_ / ".stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = 0;
    Ran ran;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) == 0) {
      int status = 0;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    ran.out = readFile(out);
    ran.err = readFile(err);
    fs::remove(out);
    fs::remove(err);
    return ran;
  }

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

// Words in lower case, with punctuation gone, so that a transcript and its
// reference compare as words alone.
std::vector<std::string> wordsOf(const std::string& text) {
  std::string plain;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    plain += std::isalpha(u) || c == '\'' ? static_cast<char>(std::tolower(u)) : ' ';
  }
  std::istringstream in(plain);
  return {std::istream_iterator<std::string>(in), {}};
}

// Word-level edit distance: substitutions, insertions and deletions.
size_t wordErrors(const std::vector<std::string>& ref, const std::vector<std::string>& hyp) {
  std::vector<size_t> row(hyp.size() + 1);
  for (size_t j = 0; j <= hyp.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= ref.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= hyp.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (ref[i - 1] != hyp[j - 1])});
      diagonal = above;
    }
  }
  return row[hyp.size()];
}

TEST(SttWordErrors, CountsEditsOverWordsOnly) {
  EXPECT_EQ(wordErrors(wordsOf("The bus, is late."), wordsOf("the bus is late")), 0u);
  EXPECT_EQ(wordErrors(wordsOf("a b c d"), wordsOf("a x c")), 2u);
  EXPECT_EQ(wordErrors(wordsOf(""), wordsOf("a b")), 2u);
}

// A corpus of synthetic voices made here, decoded by ombru-stt and by the
// engine's floor (each file whole, in one call): ombru-stt may not lose
// accuracy against the engine it is built on.
TEST_F(SttEndToEnd, OnACorpusOfSeveralVoicesTheWordErrorRateIsAtMostTheFloors) {
  const auto corpus = dir_ / "corpus";
  const auto made = spawn({"sh", OMBRU_STT_CORPUS_SCRIPT, OMBRU_STT_SENTENCES, corpus.string()});
  ASSERT_EQ(made.status, 0) << made.err;
  // clip-01, clip-02, ... each a .wav with its reference .txt beside it.
  std::vector<std::string> clips;
  for (int n = 1;; ++n) {
    const auto stem = corpus / ((n < 10 ? "clip-0" : "clip-") + std::to_string(n));
    if (!fs::exists(stem.string() + ".wav")) break;
    clips.push_back(stem.string());
  }
  ASSERT_GE(clips.size(), 30u);
  std::vector<std::string> floorArgs{OMBRU_STT_FLOOR};
  for (const auto& clip : clips) floorArgs.push_back(clip + ".wav");
  const auto floor = spawn(floorArgs);
  ASSERT_EQ(floor.status, 0) << floor.err;
  std::istringstream floorLines(floor.out);

  size_t words = 0, oursErrors = 0, floorErrors = 0;
  for (const auto& clip : clips) {
    const auto reference = wordsOf(readFile(clip + ".txt"));
    const auto ran = stt({clip + ".wav"});
    ASSERT_EQ(ran.status, 0) << ran.err;
    std::string floorLine;
    std::getline(floorLines, floorLine);
    words += reference.size();
    oursErrors += wordErrors(reference, wordsOf(ran.out));
    floorErrors += wordErrors(reference, wordsOf(floorLine));
  }
  const double ours = 100.0 * static_cast<double>(oursErrors) / static_cast<double>(words);
  const double engine = 100.0 * static_cast<double>(floorErrors) / static_cast<double>(words);
  std::printf("word error rate over %zu words: ombru-stt %.2f%%, floor %.2f%%\n", words, ours,
              engine);
  EXPECT_LE(ours, engine + 1.0);
}

TEST_F(SttEndToEnd, WithoutArgumentsItPrintsUsage) {
  const auto ran = stt({});
  EXPECT_EQ(ran.status, 2);
  EXPECT_EQ(ran.out, "");
  EXPECT_EQ(ran.err, "usage: ombru-stt <audio-file> [--server-ok]\n");
}

}  // namespace
