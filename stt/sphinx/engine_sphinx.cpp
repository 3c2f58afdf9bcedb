#include "engine_sphinx.hpp"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "audio_sndfile.hpp"
#include "punctuate.hpp"
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
// bench/README.md. Each segment is normalised over itself ("batch"), so a
// transcript does not depend on which decoder, or in which order, the
// segments were decoded.
constexpr const char* kSearchSettings[][2] = {
    {"-cmn", "batch"},
};

struct Decoder {
  ps_decoder_t* ps = nullptr;
  ~Decoder() {
    if (ps != nullptr) ps_free(ps);
  }
};

std::unique_ptr<Decoder> loadDecoder(const SphinxModel& model) {
  quietLogging();
  cmd_ln_t* config =
      cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", model.hmm.c_str(), "-lm", model.lm.c_str(),
                  "-dict", model.dict.c_str(), static_cast<const char*>(nullptr));
  if (config == nullptr) return nullptr;
  for (const auto& [name, value] : kSearchSettings) cmd_ln_set_str_r(config, name, value);
  ps_decoder_t* ps = ps_init(config);
  cmd_ln_free_r(config);  // the decoder keeps its own reference
  if (ps == nullptr) return nullptr;
  auto decoder = std::make_unique<Decoder>();
  decoder->ps = ps;
  return decoder;
}

// Loaded decoders, kept for the next segment or recognition. PocketSphinx
// cannot share a loaded model between decoders, so each costs a full load;
// one is loaded up front and the others only when there is work for them.
class DecoderPool {
 public:
  explicit DecoderPool(SphinxModel model) : model_(std::move(model)) {
    if (auto first = loadDecoder(model_)) idle_.push_back(std::move(first));
    loaded_ = !idle_.empty();
  }
  bool loaded() const { return loaded_; }

  std::unique_ptr<Decoder> acquire() {
    {
      std::lock_guard guard(lock_);
      if (!idle_.empty()) {
        auto decoder = std::move(idle_.back());
        idle_.pop_back();
        return decoder;
      }
    }
    return loadDecoder(model_);
  }
  void release(std::unique_ptr<Decoder> decoder) {
    std::lock_guard guard(lock_);
    idle_.push_back(std::move(decoder));
  }

 private:
  SphinxModel model_;
  bool loaded_ = false;
  std::mutex lock_;
  std::vector<std::unique_ptr<Decoder>> idle_;
};

RecognitionError errorOf(std::string description) {
  return RecognitionError{std::move(description)};
}

// One segment as one whole utterance, normalised over all of it.
bool decodeWhole(Decoder& decoder, const Segment& segment, std::string& text, std::string& error) {
  text.clear();
  if (!segment.speech) return true;
  if (ps_start_utt(decoder.ps) < 0) {
    error = takeLastError("decoder could not start");
    return false;
  }
  const int processed =
      ps_process_raw(decoder.ps, segment.samples.data(), segment.samples.size(), FALSE, TRUE);
  const int ended = ps_end_utt(decoder.ps);
  if (processed < 0 || ended < 0) {
    error = takeLastError("decoding failed");
    return false;
  }
  const char* hypothesis = ps_get_hyp(decoder.ps, nullptr);  // NULL or "" when nothing was heard
  if (hypothesis != nullptr) text = hypothesis;
  return true;
}

// One recognition: the reader cuts segments and queues them, workers decode
// them, each with a decoder of its own. A worker starts only when a segment
// is waiting and every worker is busy, so a one-segment clip uses one
// decoder. The queue is short, so memory holds a few segments, not the file.
constexpr auto kCancelPoll = std::chrono::milliseconds(50);

class Pipeline {
 public:
  Pipeline(DecoderPool& pool, const std::atomic<bool>& cancelled)
      : pool_(pool), cancelled_(cancelled) {
    const unsigned cores = std::thread::hardware_concurrency();
    maxWorkers_ = cores == 0 ? 1 : cores;
  }

  void run(AudioReader& audio, const ResultHandler& handler) {
    Segmenter segmenter;
    std::vector<Segment> ready;
    bool ended = false;
    while (!ended && !cancelled_) {
      auto block = audio.next();
      if (block.empty()) {
        segmenter.finish(ready);
        ended = true;
      } else {
        segmenter.feed(block, ready);
      }
      for (auto& segment : ready) queue(std::move(segment));
      ready.clear();
    }
    {
      std::lock_guard guard(lock_);
      readerDone_ = true;
    }
    changed_.notify_all();
    for (auto& worker : workers_) worker.join();
    if (cancelled_) return;
    if (!decodeError_.empty()) {
      handler(std::nullopt, errorOf(decodeError_));
      return;
    }
    // A read error part-way keeps what was heard before it.
    if (const std::string readError = audio.error(); !readError.empty() && samples_ == 0) {
      handler(std::nullopt, errorOf(readError));
      return;
    }
    handler(RecognitionResult{true, joinSentences(texts_)}, std::nullopt);
  }

 private:
  void queue(Segment segment) {
    std::unique_lock guard(lock_);
    samples_ += segment.samples.size();
    // Reading runs ahead of decoding, but only by a few segments.
    while (!changed_.wait_for(guard, kCancelPoll, [&] {
      return cancelled_ || !decodeError_.empty() || pending_.size() < maxWorkers_ + 1;
    })) {
    }
    if (cancelled_ || !decodeError_.empty()) return;
    pending_.emplace_back(texts_.size(), std::move(segment));
    texts_.emplace_back();
    if (idle_ == 0 && workers_.size() < maxWorkers_) {
      try {
        workers_.emplace_back([this, first = workers_.empty()] { work(first); });
        ++idle_;  // counted as ready until it takes its first segment
      } catch (const std::system_error&) {
        if (workers_.empty()) decodeError_ = "could not start recognition";
      }
    }
    guard.unlock();
    changed_.notify_all();
  }

  void work(bool first) {
    auto decoder = pool_.acquire();
    std::unique_lock guard(lock_);
    if (!decoder) {
      // Another decoder would not load: the others carry on without it.
      if (first) decodeError_ = takeLastError("decoder could not load");
      --idle_;
      changed_.notify_all();
      return;
    }
    while (true) {
      // A cancel sets a flag and notifies no one, hence the polling.
      while (!changed_.wait_for(guard, kCancelPoll,
                                [&] { return cancelled_ || !pending_.empty() || readerDone_; })) {
      }
      if (cancelled_ || pending_.empty() || !decodeError_.empty()) break;
      auto [index, segment] = std::move(pending_.front());
      pending_.pop_front();
      --idle_;
      guard.unlock();
      changed_.notify_all();
      std::string text, error;
      const bool ok = decodeWhole(*decoder, segment, text, error);
      guard.lock();
      ++idle_;
      if (ok) {
        texts_[index] = std::move(text);
      } else if (decodeError_.empty()) {
        decodeError_ = std::move(error);
      }
    }
    --idle_;
    guard.unlock();
    changed_.notify_all();
    pool_.release(std::move(decoder));
  }

  DecoderPool& pool_;
  const std::atomic<bool>& cancelled_;
  size_t maxWorkers_ = 1;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<std::pair<size_t, Segment>> pending_;
  std::vector<std::string> texts_;
  std::vector<std::thread> workers_;
  size_t idle_ = 0;
  size_t samples_ = 0;
  bool readerDone_ = false;
  std::string decodeError_;
};

void recognise(DecoderPool& pool, const std::filesystem::path& url,
               const std::atomic<bool>& cancelled, const ResultHandler& handler) {
  std::string openError;
  auto audio = openAudio(url, openError);
  if (!audio) {
    if (!cancelled) handler(std::nullopt, errorOf(openError));
    return;
  }
  if (cancelled) return;
  takeLastError("");
  Pipeline(pool, cancelled).run(*audio, handler);
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
    // The thread owns what it uses (decoders, task, handler), so the run may
    // end, and the process exit, while it is still decoding.
    try {
      std::thread([pool = pool_, task, url = std::move(request.url), handler] {
        try {
          recognise(*pool, url, task->cancelled, handler);
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
