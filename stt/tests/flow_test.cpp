#include <gtest/gtest.h>

#include "scratch_dir.hpp"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "captured_console.hpp"
#include "fake_speech.hpp"
#include "transcribe.hpp"

namespace stt {
namespace {

using namespace std::chrono_literals;
using testing::Captured;
using testing::failure;
using testing::FakeSpeech;
using testing::finalText;
using testing::partialText;
namespace fs = std::filesystem;

class SttFlow : public ScratchDirTest {
 protected:
  SttFlow() : ScratchDirTest("flow") {}
  void SetUp() override {
    ScratchDirTest::SetUp();
    out_ = (dir_ / "out.txt").string();
  }

  // Short waits: the outcomes must not depend on the 60 s and 20 s values.
  int run(std::vector<std::string> words) {
    words.insert(words.begin(), "ombru-stt");
    return transcribe(words, speech_, console_, Waits{200ms, 200ms});
  }

  FakeSpeech speech_;
  Captured console_;
  std::string out_;
};

TEST(SttCommandLine, ReadsTheFileTheOutputPathAndServerPermission) {
  auto line = parseCommandLine({"ombru-stt", "/a.wav", "--server-ok"});
  ASSERT_TRUE(line);
  EXPECT_EQ(line->audioPath, "/a.wav");
  EXPECT_TRUE(line->serverOK);
  EXPECT_FALSE(line->outPath);

  line = parseCommandLine({"ombru-stt", "/a.wav", "/o.txt", "--server-ok"});
  ASSERT_TRUE(line);
  EXPECT_EQ(line->outPath, "/o.txt");
  EXPECT_TRUE(line->serverOK);

  // Only the second word can be the output path.
  line = parseCommandLine({"ombru-stt", "/a.wav", "--server-ok", "/o.txt"});
  ASSERT_TRUE(line);
  EXPECT_FALSE(line->outPath);
  EXPECT_TRUE(line->serverOK);

  line = parseCommandLine({"ombru-stt", "/a.wav", "--verbose", "/o.txt"});
  ASSERT_TRUE(line);
  EXPECT_FALSE(line->outPath);
  EXPECT_FALSE(line->serverOK);

  // A single dash does not make an option.
  line = parseCommandLine({"ombru-stt", "/a.wav", "-o"});
  ASSERT_TRUE(line);
  EXPECT_EQ(line->outPath, "-o");

  // Every word counts for the server permission, the audio path included.
  line = parseCommandLine({"ombru-stt", "--server-ok"});
  ASSERT_TRUE(line);
  EXPECT_TRUE(line->serverOK);
  EXPECT_EQ(line->audioPath.filename(), "--server-ok");

  EXPECT_FALSE(parseCommandLine({"ombru-stt"}));
  EXPECT_FALSE(parseCommandLine({}));
}

TEST(SttCommandLine, ResolvesARelativeAudioPathAgainstTheWorkingDirectory) {
  auto line = parseCommandLine({"ombru-stt", "clip.wav"});
  ASSERT_TRUE(line);
  EXPECT_EQ(line->audioPath, fs::current_path() / "clip.wav");
}

TEST_F(SttFlow, WithoutAnAudioFileItPrintsUsageOnly) {
  EXPECT_EQ(transcribe({"ombru-stt"}, speech_, console_), 2);
  EXPECT_EQ(console_.err_, "usage: ombru-stt <audio-file> [--server-ok]\n");
  EXPECT_EQ(console_.out_, "");
  EXPECT_FALSE(speech_.authorizationRequested);
}

TEST_F(SttFlow, BuildsAnOnDeviceRequestWithoutPartialsAndWithPunctuation) {
  speech_.steps = {finalText("hello")};
  EXPECT_EQ(run({"clip.wav"}), 0);
  EXPECT_EQ(speech_.locale, "en-US");
  ASSERT_TRUE(speech_.request);
  EXPECT_EQ(speech_.request->audioPath, fs::current_path() / "clip.wav");
  EXPECT_FALSE(speech_.request->shouldReportPartialResults);
  EXPECT_TRUE(speech_.request->addsPunctuation);
  EXPECT_TRUE(speech_.request->requiresOnDeviceRecognition);
  EXPECT_EQ(speech_.request->recognitionWait, 200ms);  // the wait given, which picks the search
  EXPECT_FALSE(speech_.cancelled);
}

TEST_F(SttFlow, ATranscriptGoesToStandardOutputTrimmedWithOneNewline) {
  speech_.steps = {partialText("he"), finalText("  Hello, world.\n")};
  EXPECT_EQ(run({"clip.wav"}), 0);
  EXPECT_EQ(console_.out_, "Hello, world.\n");
  EXPECT_EQ(console_.err_, "");
}

TEST_F(SttFlow, ATranscriptGoesToTheOutputFileExactlyAndNotToStandardOutput) {
  speech_.steps = {finalText("  Hello, world.\n")};
  EXPECT_EQ(run({"clip.wav", out_, "--server-ok"}), 0);
  EXPECT_EQ(readFile(out_), "Hello, world.");
  EXPECT_EQ(console_.out_, "");
  EXPECT_EQ(console_.err_, "");
}

TEST_F(SttFlow, AWhiteSpaceTranscriptIsEmittedEmpty) {
  speech_.steps = {finalText(" \t\u3000\n")};
  EXPECT_EQ(run({"clip.wav"}), 0);
  EXPECT_EQ(console_.out_, "\n");

  FakeSpeech again;
  again.steps = {finalText("\u2029 \r\n")};
  Captured console;
  EXPECT_EQ(transcribe({"ombru-stt", "clip.wav", out_}, again, console, Waits{200ms, 200ms}), 0);
  EXPECT_TRUE(fs::exists(out_));
  EXPECT_EQ(readFile(out_), "");
  EXPECT_EQ(console.out_, "");
}

TEST_F(SttFlow, ARefusedOrUnansweredAuthorisationEndsWithStatus3) {
  for (auto status : {AuthorizationStatus::denied, AuthorizationStatus::restricted,
                      AuthorizationStatus::notDetermined}) {
    FakeSpeech speech;
    speech.authorization = status;
    Captured console;
    EXPECT_EQ(transcribe({"ombru-stt", "clip.wav", out_}, speech, console, Waits{200ms, 200ms}), 3);
    EXPECT_EQ(console.err_, "speech-recognition-not-authorised\n");
    EXPECT_EQ(console.out_, "");
    EXPECT_EQ(readFile(out_), "!speech-recognition-not-authorised");
    EXPECT_FALSE(speech.request);
  }
  speech_.authorization = std::nullopt;
  EXPECT_EQ(run({"clip.wav"}), 3);
  EXPECT_EQ(console_.err_, "speech-recognition-not-authorised\n");
  EXPECT_EQ(speech_.locale, "");

  // A grant that comes after the wait is too late, and lands harmlessly.
  FakeSpeech late;
  late.authorizationDelay = 400ms;
  Captured console;
  EXPECT_EQ(transcribe({"ombru-stt", "clip.wav"}, late, console, Waits{100ms, 100ms}), 3);
  EXPECT_EQ(console.err_, "speech-recognition-not-authorised\n");
}

TEST_F(SttFlow, RecogniserChecksEndWithTheirOwnStatusAndMessage) {
  struct Case {
    bool hasRecognizer, available, onDevice;
    int status;
    std::string message;
  };
  for (const auto& c : {Case{false, true, true, 4, "no-recognizer-for-locale"},
                        Case{true, false, true, 5, "recognizer-unavailable"},
                        Case{true, true, false, 6, "on-device-model-unavailable"}}) {
    FakeSpeech speech;
    speech.hasRecognizer = c.hasRecognizer;
    speech.available = c.available;
    speech.onDevice = c.onDevice;
    speech.steps = {finalText("never")};
    Captured console;
    EXPECT_EQ(transcribe({"ombru-stt", "clip.wav", out_}, speech, console, Waits{200ms, 200ms}),
              c.status);
    EXPECT_EQ(console.err_, c.message + "\n");
    EXPECT_EQ(console.out_, "");
    EXPECT_EQ(readFile(out_), "!" + c.message);
    EXPECT_FALSE(speech.request);
  }
}

TEST_F(SttFlow, TheServerIsUsedOnlyWhenAllowedAndNeeded) {
  speech_.onDevice = false;
  speech_.steps = {finalText("from the server")};
  EXPECT_EQ(run({"clip.wav", "--server-ok"}), 0);
  ASSERT_TRUE(speech_.request);
  EXPECT_FALSE(speech_.request->requiresOnDeviceRecognition);
  EXPECT_EQ(console_.out_, "from the server\n");
}

TEST_F(SttFlow, ARecognitionErrorWithoutTranscriptEndsWithStatus7) {
  speech_.steps = {failure("No speech detected")};
  EXPECT_EQ(run({"clip.wav", out_}), 7);
  EXPECT_EQ(console_.err_, "recognition-failed: No speech detected\n");
  EXPECT_EQ(console_.out_, "");
  EXPECT_EQ(readFile(out_), "!recognition-failed: No speech detected");
}

TEST_F(SttFlow, AnErrorThatComesWithAResultWins) {
  speech_.steps = {{0ms, RecognitionResult{true, "ignored"}, RecognitionError{"broken"}}};
  EXPECT_EQ(run({"clip.wav"}), 7);
  EXPECT_EQ(console_.err_, "recognition-failed: broken\n");
  EXPECT_EQ(console_.out_, "");
}

TEST_F(SttFlow, ATranscriptThatArrivesBeforeTheDecisionOutweighsAnError) {
  // The flow wakes at the first signal; the final result is in before it reads.
  speech_.steps = {finalText("kept"), failure("late")};
  EXPECT_EQ(run({"clip.wav"}), 0);
  EXPECT_EQ(console_.out_, "kept\n");
  EXPECT_EQ(console_.err_, "");

  // The test is on the text before trimming: white space still outweighs it.
  FakeSpeech blank;
  blank.steps = {finalText(" \n"), failure("late")};
  Captured console;
  EXPECT_EQ(transcribe({"ombru-stt", "clip.wav"}, blank, console, Waits{200ms, 200ms}), 0);
  EXPECT_EQ(console.out_, "\n");
  EXPECT_EQ(console.err_, "");
}

TEST_F(SttFlow, ATimeOutWithNothingCancelsAndEmitsAnEmptyTranscript) {
  speech_.steps = {partialText("not final")};
  EXPECT_EQ(run({"clip.wav", out_}), 0);
  EXPECT_TRUE(speech_.cancelled);
  EXPECT_EQ(readFile(out_), "");
  EXPECT_EQ(console_.err_, "");
}

TEST_F(SttFlow, AnErrorRecordedDuringTheTimeOutIsReported) {
  speech_.errorOnCancel = RecognitionError{"Recognition request was canceled"};
  EXPECT_EQ(run({"clip.wav"}), 7);
  EXPECT_TRUE(speech_.cancelled);
  EXPECT_EQ(console_.err_, "recognition-failed: Recognition request was canceled\n");
}

TEST_F(SttFlow, CallbacksAfterTheRunHasEndedAreHarmless) {
  // Both answers come after their waits are over, and after transcribe has
  // returned; the fake's destructor lets them run to the end.
  {
    FakeSpeech speech;
    speech.steps = {finalText("too late", 400ms), failure("later still", 50ms)};
    Captured console;
    EXPECT_EQ(transcribe({"ombru-stt", "clip.wav"}, speech, console, Waits{200ms, 50ms}), 0);
    EXPECT_EQ(console.out_, "\n");
  }
  EXPECT_EQ(run({"clip.wav"}), 0);
}

TEST_F(SttFlow, TheOutputFileIsReplacedWholeAndNoTemporaryFileIsLeft) {
  { std::ofstream(out_) << "an older and much longer transcript"; }
  speech_.steps = {finalText("new")};
  EXPECT_EQ(run({"clip.wav", out_}), 0);
  EXPECT_EQ(readFile(out_), "new");

  FakeSpeech refused;
  refused.authorization = AuthorizationStatus::denied;
  Captured console;
  EXPECT_EQ(transcribe({"ombru-stt", "clip.wav", out_}, refused, console, Waits{200ms, 200ms}), 3);
  EXPECT_EQ(readFile(out_), "!speech-recognition-not-authorised");

  std::vector<fs::path> names;
  for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename());
  EXPECT_EQ(names, std::vector<fs::path>{"out.txt"});
}

TEST_F(SttFlow, AnUnwritableOutputFileChangesNothingElse) {
  const auto unwritable = (dir_ / "missing" / "out.txt").string();
  speech_.steps = {finalText("text")};
  EXPECT_EQ(run({"clip.wav", unwritable}), 0);
  EXPECT_EQ(console_.out_, "");
  EXPECT_EQ(console_.err_, "");

  FakeSpeech failing;
  failing.steps = {failure("bad audio")};
  Captured console;
  EXPECT_EQ(
      transcribe({"ombru-stt", "clip.wav", dir_.string()}, failing, console, Waits{200ms, 200ms}),
      7);
  EXPECT_EQ(console.err_, "recognition-failed: bad audio\n");
  EXPECT_TRUE(fs::is_directory(dir_));
}

}  // namespace
}  // namespace stt
