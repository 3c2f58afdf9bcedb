#include "engine_sphinx.hpp"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "audio_sndfile.hpp"

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

struct Decoder {
  ps_decoder_t* ps = nullptr;
  std::mutex busy;  // one utterance at a time
  // Left open by a cancel: ending an utterance runs the final search over
  // all of it, which a cancelled run should not wait for.
  bool open = false;

  ~Decoder() {
    if (ps != nullptr) ps_free(ps);
  }
};

std::shared_ptr<Decoder> loadDecoder(const SphinxModel& model) {
  quietLogging();
  cmd_ln_t* config =
      cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", model.hmm.c_str(), "-lm", model.lm.c_str(),
                  "-dict", model.dict.c_str(), static_cast<const char*>(nullptr));
  if (config == nullptr) return nullptr;
  ps_decoder_t* ps = ps_init(config);
  cmd_ln_free_r(config);  // the decoder keeps its own reference
  if (ps == nullptr) return nullptr;
  auto decoder = std::make_shared<Decoder>();
  decoder->ps = ps;
  return decoder;
}

RecognitionError errorOf(std::string description) {
  return RecognitionError{std::move(description)};
}

// Decodes the whole file as one utterance, a block at a time, so memory stays
// bounded and a cancel takes effect within one block. After a cancel the
// handler is not called.
void recognise(Decoder& decoder, const std::filesystem::path& url,
               const std::atomic<bool>& cancelled, const ResultHandler& handler) {
  std::lock_guard busy(decoder.busy);
  std::string openError;
  auto audio = openAudio(url, openError);
  if (!audio) {
    if (!cancelled) handler(std::nullopt, errorOf(openError));
    return;
  }
  if (cancelled) return;
  takeLastError("");
  if (decoder.open) ps_end_utt(decoder.ps);
  decoder.open = false;
  if (ps_start_utt(decoder.ps) < 0) {
    handler(std::nullopt, errorOf(takeLastError("decoder could not start")));
    return;
  }
  size_t decoded = 0;
  for (auto block = audio->next(); !block.empty(); block = audio->next()) {
    if (cancelled) {
      decoder.open = true;
      return;
    }
    if (ps_process_raw(decoder.ps, block.data(), block.size(), FALSE, FALSE) < 0) {
      ps_end_utt(decoder.ps);
      handler(std::nullopt, errorOf(takeLastError("decoding failed")));
      return;
    }
    decoded += block.size();
  }
  const int ended = ps_end_utt(decoder.ps);
  if (cancelled) return;
  if (ended < 0) {
    handler(std::nullopt, errorOf(takeLastError("decoding failed")));
    return;
  }
  // A read error part-way keeps what was heard before it.
  if (const std::string readError = audio->error(); !readError.empty() && decoded == 0) {
    handler(std::nullopt, errorOf(readError));
    return;
  }
  int32 score = 0;
  const char* hypothesis = ps_get_hyp(decoder.ps, &score);  // NULL or "" when nothing was heard
  handler(RecognitionResult{true, hypothesis != nullptr ? hypothesis : ""}, std::nullopt);
}

struct SphinxTask final : RecognitionTask {
  std::atomic<bool> cancelled{false};
  void cancel() override { cancelled = true; }
};

class SphinxRecognizer final : public SpeechRecognizer {
 public:
  explicit SphinxRecognizer(std::shared_ptr<Decoder> decoder) : decoder_(std::move(decoder)) {}

  bool isAvailable() override { return decoder_ != nullptr; }
  bool supportsOnDeviceRecognition() override { return true; }

  std::shared_ptr<RecognitionTask> recognitionTask(URLRecognitionRequest request,
                                                   ResultHandler handler) override {
    auto task = std::make_shared<SphinxTask>();
    if (!decoder_) {
      handler(std::nullopt, errorOf("recogniser unavailable"));
      return task;
    }
    // The thread owns what it uses (decoder, task, handler), so the run may
    // end, and the process exit, while it is still decoding.
    try {
      std::thread([decoder = decoder_, task, url = std::move(request.url), handler] {
        try {
          recognise(*decoder, url, task->cancelled, handler);
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
  std::shared_ptr<Decoder> decoder_;
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
    return std::make_unique<SphinxRecognizer>(loadDecoder(model_));
  }

 private:
  SphinxModel model_;
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
