#include <gtest/gtest.h>

#include <sndfile.h>
#include "scratch_dir.hpp"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <thread>

#include "audio_sndfile.hpp"
#include "captured_console.hpp"
#include "engine_sphinx.hpp"
#include "transcribe.hpp"

namespace stt {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class SttSphinx : public ScratchDirTest {
 protected:
  SttSphinx() : ScratchDirTest("sphinx") {}
  // Writes `frames` frames produced by `sample(frame, channel)`.
  fs::path writeAudio(const std::string& name, int rate, int channels, int format, int frames,
                      const std::function<float(int, int)>& sample) {
    const fs::path path = dir_ / name;
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(file, nullptr) << sf_strerror(nullptr);
    std::vector<float> data(static_cast<size_t>(frames * channels));
    for (int f = 0; f < frames; ++f)
      for (int c = 0; c < channels; ++c) data[static_cast<size_t>(f * channels + c)] = sample(f, c);
    sf_writef_float(file, data.data(), frames);
    sf_close(file);
    return path;
  }

  static std::vector<int16_t> readAll(AudioReader& reader) {
    std::vector<int16_t> all;
    for (auto block = reader.next(); !block.empty(); block = reader.next())
      all.insert(all.end(), block.begin(), block.end());
    return all;
  }
};

TEST_F(SttSphinx, SixteenKilohertzMonoPassesThroughUnchanged) {
  const auto path = writeAudio("mono.wav", 16000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 10000,
                               [](int f, int) { return static_cast<float>(f % 200 - 100) / 256; });
  std::string error;
  auto reader = openAudio(path, error);
  ASSERT_TRUE(reader) << error;
  const auto samples = readAll(*reader);
  ASSERT_EQ(samples.size(), 10000u);
  EXPECT_EQ(samples[0], -100 * 128);
  EXPECT_EQ(samples[150], 50 * 128);
  EXPECT_EQ(reader->error(), "");
}

TEST_F(SttSphinx, ChannelsAreAveragedAndTheRateBecomesSixteenKilohertz) {
  // One second of stereo at 44.1 kHz, left 0.5 and right 0.1, as floats.
  const auto path = writeAudio("stereo.flac", 44100, 2, SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 44100,
                               [](int, int c) { return c == 0 ? 0.5f : 0.1f; });
  std::string error;
  auto reader = openAudio(path, error);
  ASSERT_TRUE(reader) << error;
  const auto samples = readAll(*reader);
  EXPECT_NEAR(static_cast<double>(samples.size()), 16000.0, 16.0);
  EXPECT_NEAR(samples[8000], 0.3 * 32767, 40);
}

TEST_F(SttSphinx, FloatAudioIsScaledAndClipped) {
  const auto path = writeAudio("float.wav", 16000, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 100,
                               [](int f, int) { return f < 50 ? 0.25f : -3.0f; });
  std::string error;
  auto reader = openAudio(path, error);
  ASSERT_TRUE(reader) << error;
  const auto samples = readAll(*reader);
  ASSERT_EQ(samples.size(), 100u);
  EXPECT_NEAR(samples[10], 8192, 2);
  EXPECT_LE(samples[90], -32767);
}

TEST_F(SttSphinx, AnUnreadableFileIsDescribedByLibsndfile) {
  std::string error;
  EXPECT_FALSE(openAudio(dir_ / "absent.wav", error));
  EXPECT_EQ(error, "System error : No such file or directory.");
  { std::ofstream(dir_ / "junk.wav") << "RIFF this is not audio at all, not even close"; }
  EXPECT_FALSE(openAudio(dir_ / "junk.wav", error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(openAudio(dir_, error));
}

TEST_F(SttSphinx, ThereIsNoRecogniserWithoutTheModelOrForAnotherLocale) {
  auto missing = makeSphinxPlatform(modelIn(dir_ / "nowhere"));
  EXPECT_FALSE(missing->recognizer("en-US"));
  auto real = makeSphinxPlatform(modelIn(kModelDirectory));
  EXPECT_FALSE(real->recognizer("fr-FR"));
}

TEST_F(SttSphinx, AModelThatDoesNotLoadMakesTheRecogniserUnavailable) {
  fs::create_directories(dir_ / "model" / "en-us");
  const auto real = modelIn(kModelDirectory);
  fs::create_symlink(real.lm, dir_ / "model" / "en-us.lm.bin");
  fs::create_symlink(real.dict, dir_ / "model" / "cmudict-en-us.dict");
  auto platform = makeSphinxPlatform(modelIn(dir_ / "model"));
  auto recognizer = platform->recognizer("en-US");
  ASSERT_TRUE(recognizer);
  EXPECT_FALSE(recognizer->isAvailable());
}

TEST_F(SttSphinx, AuthorisationIsGrantedFromAnotherThread) {
  auto platform = makeSphinxPlatform(modelIn(kModelDirectory));
  std::promise<std::pair<AuthorizationStatus, std::thread::id>> answer;
  platform->requestAuthorization([&answer](AuthorizationStatus status) {
    answer.set_value({status, std::this_thread::get_id()});
  });
  auto [status, thread] = answer.get_future().get();
  EXPECT_EQ(status, AuthorizationStatus::authorized);
  EXPECT_NE(thread, std::this_thread::get_id());
}

struct Outcome {
  std::optional<RecognitionResult> result;
  std::optional<RecognitionError> error;
};

Outcome recogniseOnce(SpeechRecognizer& recognizer, const fs::path& audioPath) {
  auto answer = std::make_shared<std::promise<Outcome>>();
  URLRecognitionRequest request;
  request.audioPath = audioPath;
  auto task = recognizer.recognitionTask(request, [answer](auto result, auto error) {
    answer->set_value(Outcome{std::move(result), std::move(error)});
  });
  return answer->get_future().get();
}

TEST_F(SttSphinx, SilenceIsAnEmptyFinalResultAndAMissingFileAnError) {
  auto platform = makeSphinxPlatform(modelIn(kModelDirectory));
  auto recognizer = platform->recognizer("en-US");
  ASSERT_TRUE(recognizer);
  EXPECT_TRUE(recognizer->isAvailable());
  EXPECT_TRUE(recognizer->supportsOnDeviceRecognition());

  auto silent = recogniseOnce(
      *recognizer, writeAudio("silent.wav", 16000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 32000,
                              [](int, int) { return 0.0f; }));
  ASSERT_TRUE(silent.result);
  EXPECT_FALSE(silent.error);
  EXPECT_TRUE(silent.result->isFinal);
  EXPECT_EQ(silent.result->formattedString, "");

  auto empty =
      recogniseOnce(*recognizer, writeAudio("empty.wav", 16000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                                            0, [](int, int) { return 0.0f; }));
  ASSERT_TRUE(empty.result);
  EXPECT_EQ(empty.result->formattedString, "");

  auto missing = recogniseOnce(*recognizer, dir_ / "absent.wav");
  EXPECT_FALSE(missing.result);
  ASSERT_TRUE(missing.error);
  EXPECT_EQ(missing.error->localizedDescription, "System error : No such file or directory.");
}

TEST_F(SttSphinx, ARunThatTimesOutEndsWhileTheEngineIsStillDecoding) {
  // A minute of noise takes far longer to decode than the 10 ms allowed. The
  // run ends, and everything it made is destroyed, while the engine's thread
  // goes on until it notices the cancel.
  unsigned seed = 1;
  const auto noise = writeAudio("noise.wav", 16000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 16000 * 60,
                                [&seed](int, int) {
                                  seed = seed * 1103515245 + 12345;
                                  return static_cast<float>((seed >> 16) % 2000) / 10000 - 0.1f;
                                });
  testing::Captured console;
  {
    auto platform = makeSphinxPlatform(modelIn(kModelDirectory));
    EXPECT_EQ(transcribe({"ombru-stt", noise.string()}, *platform, console, Waits{5s, 10ms}), 0);
  }
  EXPECT_EQ(console.out_, "\n");
  EXPECT_EQ(console.err_, "");
}

TEST_F(SttSphinx, ACancelledRecognitionIsSilentAndTheRecogniserStaysUsable) {
  unsigned seed = 1;
  const auto noise = writeAudio("noise.wav", 16000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 16000 * 60,
                                [&seed](int, int) {
                                  seed = seed * 1103515245 + 12345;
                                  return static_cast<float>((seed >> 16) % 2000) / 10000 - 0.1f;
                                });
  auto platform = makeSphinxPlatform(modelIn(kModelDirectory));
  auto recognizer = platform->recognizer("en-US");
  ASSERT_TRUE(recognizer);
  auto calls = std::make_shared<std::atomic<int>>(0);
  URLRecognitionRequest request;
  request.audioPath = noise;
  auto task = recognizer->recognitionTask(request, [calls](auto, auto) { ++*calls; });
  task->cancel();
  // The next recognition waits for the cancelled one to let go of the decoder.
  auto silent = recogniseOnce(
      *recognizer, writeAudio("silent.wav", 16000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 16000,
                              [](int, int) { return 0.0f; }));
  ASSERT_TRUE(silent.result);
  EXPECT_EQ(silent.result->formattedString, "");
  EXPECT_EQ(*calls, 0);
}

}  // namespace
}  // namespace stt
