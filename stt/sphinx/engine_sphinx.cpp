#include "engine_sphinx.hpp"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "audio_sndfile.hpp"
#include "pipeline.hpp"
#include "segment.hpp"

namespace stt {
namespace {

// PocketSphinx logs some 8 KB on every run. Only its warnings and errors are
// kept, and only the last one, so that a failure can describe itself.
struct LogSink {
  std::mutex lock;
  std::string lastError;
};

LogSink& logSink() {
  // Never destroyed: the library may log from the engine's thread while the
  // process exits.
  static LogSink* sink = new LogSink;
  return *sink;
}

void onLog(void*, err_lvl_t level, const char* format, ...) {
  if (level < ERR_WARN) return;
  char line[1024];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  std::string text(line);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (text.empty()) return;
  auto& sink = logSink();
  std::lock_guard guard(sink.lock);
  sink.lastError = std::move(text);
}

void quietLogging() {
  static std::once_flag once;
  std::call_once(once, [] {
    err_set_callback(onLog, nullptr);
    err_set_logfp(nullptr);
  });
}

std::string takeLastError(const char* fallback) {
  auto& sink = logSink();
  std::lock_guard guard(sink.lock);
  std::string text = sink.lastError.empty() ? fallback : sink.lastError;
  sink.lastError.clear();
  return text;
}

// The search settings, chosen from the curve of word error against speed in
// bench/README.md: no second, flat pass, at most 3000 phone models and 10
// words alive per frame take half of the decoding work away, which lets two
// minutes of speech fit in the recognition wait, at no cost in accuracy on
// the corpus.
// Each segment is normalised over itself ("batch"), so a transcript does
// not depend on which decoder, or in which order, the segments were decoded.
constexpr const char* kSearchSettings[][2] = {
    {"-cmn", "batch"},
    {"-fwdflat", "no"},
    {"-maxhmmpf", "3000"},
    {"-maxwpf", "10"},
};

class Decoder final : public SegmentDecoder {
 public:
  explicit Decoder(ps_decoder_t* ps) : ps_(ps) {}
  ~Decoder() override { ps_free(ps_); }
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // One segment as one whole utterance, normalised over all of it.
  bool decode(const Segment& segment, std::string& text, std::string& error) override {
    text.clear();
    if (!segment.speech) return true;
    // A new stream forgets the noise level of the decoder's last segment, so
    // that a segment's words do not depend on which decoder had it before.
    if (ps_start_stream(ps_) < 0 || ps_start_utt(ps_) < 0) {
      error = takeLastError("decoder could not start");
      return false;
    }
    const int processed =
        ps_process_raw(ps_, segment.samples.data(), segment.samples.size(), FALSE, TRUE);
    const int ended = ps_end_utt(ps_);
    if (processed < 0 || ended < 0) {
      error = takeLastError("decoding failed");
      return false;
    }
    const char* hypothesis = ps_get_hyp(ps_, nullptr);  // NULL or "" when nothing was heard
    if (hypothesis != nullptr) text = hypothesis;
    return true;
  }

 private:
  ps_decoder_t* ps_;
};

std::unique_ptr<Decoder> loadDecoder(const SphinxModel& model) {
  quietLogging();
  // Parsed as a command line, so that every setting is checked and typed.
  std::vector<std::string> words{"ombru-stt",       "-hmm",  model.hmm.string(), "-lm",
                                 model.lm.string(), "-dict", model.dict.string()};
  for (const auto& [name, value] : kSearchSettings) {
    words.emplace_back(name);
    words.emplace_back(value);
  }
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  cmd_ln_t* config =
      cmd_ln_parse_r(nullptr, ps_args(), static_cast<int32>(argv.size()), argv.data(), TRUE);
  if (config == nullptr) return nullptr;
  ps_decoder_t* ps = ps_init(config);
  cmd_ln_free_r(config);  // the decoder keeps its own reference
  if (ps == nullptr) return nullptr;
  return std::make_unique<Decoder>(ps);
}

// Loaded decoders, kept for the next segment or recognition. PocketSphinx
// cannot share a loaded model between decoders, so each costs a full load;
// one is loaded up front and the others only when a file can use them.
class DecoderPool final : public DecoderSource {
 public:
  explicit DecoderPool(SphinxModel model) : model_(std::move(model)) {
    if (auto first = loadDecoder(model_)) idle_.push_back(std::move(first));
    loaded_ = !idle_.empty();
  }
  bool loaded() const { return loaded_; }

  // Loads decoders, side by side, until `count` are idle.
  void reserve(size_t count) {
    size_t missing;
    {
      std::lock_guard guard(lock_);
      missing = count > idle_.size() ? count - idle_.size() : 0;
    }
    std::vector<std::thread> loaders;
    for (size_t i = 0; i < missing; ++i) {
      try {
        loaders.emplace_back([this] {
          if (auto decoder = loadDecoder(model_)) release(std::move(decoder));
        });
      } catch (const std::system_error&) {
        break;  // the workers load what they lack
      }
    }
    for (auto& loader : loaders) loader.join();
  }

  std::unique_ptr<SegmentDecoder> acquire(std::string& error) override {
    {
      std::lock_guard guard(lock_);
      if (!idle_.empty()) {
        auto decoder = std::move(idle_.back());
        idle_.pop_back();
        return decoder;
      }
    }
    auto decoder = loadDecoder(model_);
    if (!decoder) error = takeLastError("decoder could not load");
    return decoder;
  }
  void release(std::unique_ptr<SegmentDecoder> decoder) override {
    std::lock_guard guard(lock_);
    idle_.push_back(std::move(decoder));
  }

 private:
  SphinxModel model_;
  bool loaded_ = false;
  std::mutex lock_;
  std::vector<std::unique_ptr<SegmentDecoder>> idle_;
};

RecognitionError errorOf(std::string description) {
  return RecognitionError{std::move(description)};
}

size_t workersHere() {
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : cores;
}

// A segment is never longer than the rules allow, so a file of this length
// holds at least this many.
size_t surelySegments(double seconds) {
  const SegmentRules rules;
  const double longest = static_cast<double>(rules.maxFrames * kFrameSamples) / kSegmentRate;
  if (!(seconds > 0)) return 0;
  return static_cast<size_t>(std::min(std::ceil(seconds / longest), 1e6));
}

void recognise(DecoderPool& pool, AudioReader* audio, const std::string& openError,
               const std::atomic<bool>& cancelled, const ResultHandler& handler) {
  if (!audio) {
    if (!cancelled) handler(std::nullopt, errorOf(openError));
    return;
  }
  if (cancelled) return;
  takeLastError("");
  auto decoded = decodeSegments(*audio, pool, workersHere(), cancelled);
  if (!decoded) return;
  if (!decoded->error.empty()) {
    handler(std::nullopt, errorOf(std::move(decoded->error)));
  } else {
    handler(RecognitionResult{true, std::move(decoded->text)}, std::nullopt);
  }
}

struct SphinxTask final : RecognitionTask {
  std::atomic<bool> cancelled{false};
  void cancel() override { cancelled = true; }
};

class SphinxRecognizer final : public SpeechRecognizer {
 public:
  explicit SphinxRecognizer(std::shared_ptr<DecoderPool> pool) : pool_(std::move(pool)) {}

  bool isAvailable() override { return pool_->loaded(); }
  bool supportsOnDeviceRecognition() override { return true; }

  std::shared_ptr<RecognitionTask> recognitionTask(URLRecognitionRequest request,
                                                   ResultHandler handler) override {
    auto task = std::make_shared<SphinxTask>();
    if (!pool_->loaded()) {
      handler(std::nullopt, errorOf("recogniser unavailable"));
      return task;
    }
    std::string openError;
    double seconds = 0;
    auto audio = openAudio(request.url, openError, &seconds);
    // A file long enough to hold several segments gets its decoders now,
    // before the recognition is timed, rather than while it runs. A shorter
    // one may still be cut in two, and then loads its second decoder when
    // that segment waits.
    if (audio) pool_->reserve(std::min(workersHere(), surelySegments(seconds)));
    // The thread owns what it uses (decoders, task, handler), so the run may
    // end, and the process exit, while it is still decoding.
    try {
      std::thread([pool = pool_, task, audio = std::shared_ptr<AudioReader>(std::move(audio)),
                   openError, handler]() mutable {
        try {
          recognise(*pool, audio.get(), openError, task->cancelled, handler);
        } catch (...) {
          // Out of memory while reporting; the run ends by its time-out.
        }
      }).detach();
    } catch (const std::system_error&) {
      handler(std::nullopt, errorOf("could not start recognition"));
    }
    return task;
  }

 private:
  std::shared_ptr<DecoderPool> pool_;
};

class SphinxPlatform final : public SpeechPlatform {
 public:
  explicit SphinxPlatform(SphinxModel model) : model_(std::move(model)) {}

  void requestAuthorization(AuthorizationHandler handler) override {
    try {
      std::thread([handler] { handler(AuthorizationStatus::authorized); }).detach();
    } catch (const std::system_error&) {
      handler(AuthorizationStatus::authorized);
    }
  }

  std::unique_ptr<SpeechRecognizer> recognizer(std::string_view localeIdentifier) override {
    if (localeIdentifier != "en-US") return nullptr;
    std::error_code error;
    namespace fs = std::filesystem;
    if (!fs::is_directory(model_.hmm, error) || !fs::is_regular_file(model_.lm, error) ||
        !fs::is_regular_file(model_.dict, error)) {
      return nullptr;
    }
    // Loaded once, so that every recogniser of this platform reuses them.
    std::lock_guard guard(lock_);
    if (!pool_) pool_ = std::make_shared<DecoderPool>(model_);
    return std::make_unique<SphinxRecognizer>(pool_);
  }

 private:
  SphinxModel model_;
  std::mutex lock_;
  std::shared_ptr<DecoderPool> pool_;
};

}  // namespace

SphinxModel modelIn(const std::filesystem::path& directory) {
  return SphinxModel{directory / "en-us", directory / "en-us.lm.bin",
                     directory / "cmudict-en-us.dict"};
}

std::unique_ptr<SpeechPlatform> makeSphinxPlatform(SphinxModel model) {
  return std::make_unique<SphinxPlatform>(std::move(model));
}

}  // namespace stt
