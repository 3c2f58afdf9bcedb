#include "engine_sphinx.hpp"

#include <pocketsphinx.h>
#include <sphinxbase/cmn.h>
#include <sphinxbase/err.h>
#include <sphinxbase/fe.h>
#include <sphinxbase/feat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "audio_sndfile.hpp"
#include "constants.hpp"
#include "pipeline.hpp"
#include "prepared_dictionary.hpp"
#include "search.hpp"
#include "segment.hpp"
#include "transcribe.hpp"

namespace stt {
namespace {

namespace fs = std::filesystem;

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

std::string takeLastError(std::string_view fallback) {
  auto& sink = logSink();
  std::lock_guard guard(sink.lock);
  std::string text = sink.lastError.empty() ? std::string(fallback) : sink.lastError;
  sink.lastError.clear();
  return text;
}

// Each segment is normalised over itself ("batch"), so a transcript does
// not depend on which decoder, or in which order, the segments were decoded.
// Everything else is the engine's default: its full search.
constexpr const char* kBaseSettings[][2] = {
    {"-cmn", "batch"},
};

const char* searchName(Search search) {
  return search == Search::full ? "full" : "fast";
}

class Decoder final : public SegmentDecoder {
 public:
  Decoder(ps_decoder_t* ps, ngram_model_t* lm) : ps_(ps), lm_(lm) {
    cmd_ln_t* config = ps_get_config(ps_);
    flatPass_ = cmd_ln_boolean_r(config, "-fwdflat") != 0;
    maxPhoneModels_ = cmd_ln_int_r(config, "-maxhmmpf");
    maxWords_ = cmd_ln_int_r(config, "-maxwpf");
  }
  ~Decoder() override {
    ps_free(ps_);
    ngram_model_free(lm_);
  }
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // Sets the search up over the language model; each kind once per decoder.
  bool use(Search search) {
    if (current_ == search) return true;
    cmd_ln_t* config = ps_get_config(ps_);
    const bool fast = search == Search::fast;
    cmd_ln_set_boolean_r(config, "-fwdflat", fast ? kFastFlatPass : flatPass_);
    cmd_ln_set_int_r(config, "-maxhmmpf", fast ? kFastMaxPhoneModels : maxPhoneModels_);
    cmd_ln_set_int_r(config, "-maxwpf", fast ? kFastMaxWords : maxWords_);
    // A search reads these when it is made, and keeps them.
    const char* name = searchName(search);
    if (!made_[fast] && ps_set_lm(ps_, name, lm_) < 0) return false;
    made_[fast] = true;
    if (ps_set_search(ps_, name) < 0) return false;
    current_ = search;
    flatPassNow_ = fast ? kFastFlatPass : flatPass_;
    return true;
  }

  // The words the language model can produce.
  std::unordered_set<std::string> languageModelWords() const {
    std::unordered_set<std::string> words;
    const uint32 count = ngram_model_get_counts(lm_)[0];
    words.reserve(count);
    for (uint32 id = 0; id < count; ++id) {
      if (const char* word = ngram_word(lm_, static_cast<int32>(id))) words.emplace(word);
    }
    return words;
  }

  // While a recognition holds this decoder, its cancel stops a decode
  // between blocks.
  void watch(const std::atomic<bool>* cancelled) { cancelled_ = cancelled; }
  // A decode stopped mid-utterance by a cancel, with the flat pass on, is
  // left open: ending it would search all it heard once more, so the
  // decoder is dropped instead and the pool loads another when one is
  // wanted.
  bool spent() const { return spent_; }

  // One segment as one whole utterance, normalised over all of it, searched
  // a block at a time so that a cancel is seen within one block.
  bool decode(const Segment& segment, std::string& text, std::string& error) override {
    text.clear();
    if (!segment.speech) return true;
    // A new stream forgets the noise level of the decoder's last segment, so
    // that a segment's words do not depend on which decoder had it before.
    if (ps_start_stream(ps_) < 0 || ps_start_utt(ps_) < 0) {
      error = takeLastError(kDecoderCouldNotStart);
      return false;
    }
    feat_t* feat = ps_get_feat(ps_);
    const bool inBlocks = cepstraOf(segment.samples);
    int processed = 0;
    bool stopped = false;
    if (inBlocks) {
      // Normalised already: fed in blocks, the engine would switch to its
      // running mean for good, and this decoder's later words would differ.
      feat->cmn = CMN_NONE;
      // Every frame is kept (no search, no frames: the engine's one way to
      // ask it). Fed in blocks into its ring of frames, which only the flat
      // pass makes it keep whole, the fast search loses step with its
      // look-ahead and hears nothing; a whole utterance never wraps round.
      (void)ps_process_cep(ps_, rows_.data(), 0, TRUE, FALSE);
      for (size_t at = 0; at < rows_.size() && processed >= 0; at += kDecodeBlockFrames) {
        if (cancelled_ != nullptr && *cancelled_) {
          stopped = true;
          break;
        }
        const size_t count = std::min(kDecodeBlockFrames, rows_.size() - at);
        processed = ps_process_cep(ps_, rows_.data() + at, static_cast<int>(count), FALSE, FALSE);
      }
    } else {
      processed = ps_process_raw(ps_, segment.samples.data(), segment.samples.size(), FALSE, TRUE);
    }
    if (stopped && flatPassNow_) {
      spent_ = true;
      return true;
    }
    const int ended = ps_end_utt(ps_);
    if (inBlocks) feat->cmn = CMN_BATCH;
    if (stopped) return true;
    if (processed < 0 || ended < 0) {
      error = takeLastError(kDecodingFailed);
      return false;
    }
    const char* hypothesis = ps_get_hyp(ps_, nullptr);  // NULL or "" when nothing was heard
    if (hypothesis != nullptr) text = hypothesis;
    return true;
  }

 private:
  // The segment's cepstra in rows_, as the engine computes them for a whole
  // utterance: one pass of its front end, normalised over every frame. Then
  // copies of the last frame: fed in blocks, the engine takes them as the
  // trailing context that a whole utterance gets by the same copying, and
  // leaves them out of the search. False, and the engine is given the
  // samples whole, when its settings are not the ones this follows.
  bool cepstraOf(std::span<const int16_t> samples) {
    fe_t* fe = ps_get_fe(ps_);
    feat_t* feat = ps_get_feat(ps_);
    if (fe == nullptr || feat == nullptr || feat->cmn != CMN_BATCH || feat->agc != AGC_NONE)
      return false;
    size_t left = samples.size();
    int32 frames = 0;
    if (fe_process_frames(fe, nullptr, &left, nullptr, &frames, nullptr) < 0 || frames <= 0)
      return false;
    const auto width = static_cast<size_t>(fe_get_output_size(fe));
    const auto window = static_cast<size_t>(feat_window_size(feat));
    cepstra_.assign((static_cast<size_t>(frames) + 1 + window) * width, 0);
    rows_.resize(static_cast<size_t>(frames) + 1);
    for (size_t i = 0; i < rows_.size(); ++i) rows_[i] = cepstra_.data() + i * width;
    const int16* data = samples.data();
    left = samples.size();
    int32 tail = 0;
    if (fe_start_utt(fe) < 0 ||
        fe_process_frames(fe, &data, &left, rows_.data(), &frames, nullptr) < 0 ||
        fe_end_utt(fe, rows_[static_cast<size_t>(frames)], &tail) < 0 || frames + tail <= 0)
      return false;
    const auto heard = static_cast<size_t>(frames + tail);
    cmn(feat->cmn_struct, rows_.data(), feat->varnorm, static_cast<int32>(heard));
    rows_.resize(heard + window);
    for (size_t i = heard; i < rows_.size(); ++i) {
      rows_[i] = cepstra_.data() + i * width;
      std::copy_n(rows_[heard - 1], width, rows_[i]);
    }
    return true;
  }

  ps_decoder_t* ps_;
  ngram_model_t* lm_;
  const std::atomic<bool>* cancelled_ = nullptr;
  std::vector<mfcc_t> cepstra_;
  std::vector<mfcc_t*> rows_;
  bool spent_ = false;
  bool flatPassNow_ = false;
  bool flatPass_ = true;
  long maxPhoneModels_ = 0;
  long maxWords_ = 0;
  bool made_[2] = {false, false};
  std::optional<Search> current_;
};

cmd_ln_t* configFor(const SphinxModel& model, const fs::path& dict) {
  // Parsed as a command line, so that every setting is checked and typed.
  std::vector<std::string> words{"ombru-stt", "-hmm", model.hmm.string(), "-dict", dict.string()};
  for (const auto& [name, value] : kBaseSettings) {
    words.emplace_back(name);
    words.emplace_back(value);
  }
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  return cmd_ln_parse_r(nullptr, ps_args(), static_cast<int32>(argv.size()), argv.data(), TRUE);
}

// The language model as the engine reads one named on its command line: with
// the same settings, in the same log base. Null when it does not read.
ngram_model_t* readLanguageModel(cmd_ln_t* config, const fs::path& lm) {
  // The engine takes its log base as a 32-bit float; so must this, or the
  // scores differ in their last digits and so, now and then, the words.
  logmath_t* math =
      logmath_init(static_cast<float64>(cmd_ln_float32_r(config, "-logbase")), 0, TRUE);
  if (math == nullptr) return nullptr;
  ngram_model_t* model = ngram_model_read(config, lm.c_str(), NGRAM_AUTO, math);
  logmath_free(math);  // the model holds its own reference
  return model;
}

// Loads the acoustic model, `dict` and the language model. The search is
// set up later, once the file shows which one it needs.
std::unique_ptr<Decoder> loadDecoder(const SphinxModel& model, const fs::path& dict) {
  quietLogging();
  cmd_ln_t* config = configFor(model, dict);
  // The language model is a fifth of the load, mostly copying 27 MB, and
  // needs nothing else the engine loads: it is read on a core of its own, with
  // a configuration of its own, since the engine writes to its one.
  cmd_ln_t* lmConfig = configFor(model, dict);
  if (config == nullptr || lmConfig == nullptr) {
    if (config != nullptr) cmd_ln_free_r(config);
    if (lmConfig != nullptr) cmd_ln_free_r(lmConfig);
    return nullptr;
  }
  ngram_model_t* lm = nullptr;
  std::thread reader;
  try {
    reader = std::thread([&lm, lmConfig, &model] { lm = readLanguageModel(lmConfig, model.lm); });
  } catch (const std::system_error&) {
  }
  ps_decoder_t* ps = ps_init(config);
  cmd_ln_free_r(config);  // the decoder keeps its own reference
  if (reader.joinable()) {
    reader.join();
  } else {
    lm = readLanguageModel(lmConfig, model.lm);
  }
  cmd_ln_free_r(lmConfig);
  if (ps == nullptr || lm == nullptr) {
    if (ps != nullptr) ps_free(ps);
    if (lm != nullptr) ngram_model_free(lm);
    return nullptr;
  }
  return std::make_unique<Decoder>(ps, lm);
}

// Loaded decoders, kept for the next segment or recognition. PocketSphinx
// cannot share a loaded model between decoders, so each costs a full load;
// one is loaded up front and the others only when a file can use them.
class DecoderPool final {
 public:
  // At most `limit` decoders live at once; none means no limit.
  DecoderPool(SphinxModel model, std::optional<fs::path> cache, size_t limit = 0)
      : model_(std::move(model)), dict_(model_.dict), limit_(limit) {
    identity_ = modelIdentity(model_.dict, model_.lm);
    // Taken before the load, so that files changed while loading are caught.
    const auto& identity = identity_;
    if (cache) {
      if (auto prepared = findPreparedDictionary(*cache, model_.dict, model_.lm)) dict_ = *prepared;
    }
    auto first = loadDecoder(model_, dict_);
    if (!first && dict_ != model_.dict) {
      dict_ = model_.dict;  // any trouble with the prepared one: the full files
      first = loadDecoder(model_, dict_);
    }
    if (first && cache && identity && dict_ == model_.dict) {
      // The full load is paid once; later runs load the prepared dictionary.
      (void)writePreparedDictionary(*cache, model_.dict, model_.lm, *identity,
                                    first->languageModelWords());
    }
    if (first) idle_.push_back(std::move(first));
    loaded_ = !idle_.empty();
    count_ = idle_.size();
  }
  bool loaded() const { return loaded_; }
  // The model files as they were when the load began.
  const std::optional<std::string>& identity() const { return identity_; }
  const fs::path& dictionary() const { return dict_; }

  // Loads decoders, side by side, until `count` are idle, each with `search`.
  void reserve(size_t count, Search search) {
    size_t missing;
    {
      std::lock_guard guard(lock_);
      missing = count > idle_.size() ? count - idle_.size() : 0;
      if (limit_ != 0) missing = std::min(missing, limit_ - std::min(limit_, count_));
      count_ += missing;  // counted now, so that no other caller loads past the limit
    }
    std::vector<std::thread> loaders;
    for (size_t i = 0; i < missing; ++i) {
      try {
        loaders.emplace_back([this, search] {
          auto decoder = loadDecoder(model_, dict_);
          if (decoder && decoder->use(search)) {
            release(std::move(decoder));
          } else {
            forget();
          }
        });
      } catch (const std::system_error&) {
        for (size_t left = loaders.size(); left < missing; ++left) forget();
        break;  // the workers load what they lack
      }
    }
    for (auto& loader : loaders) loader.join();
  }

  std::unique_ptr<Decoder> acquire(Search search, std::string& error) {
    auto decoder = take();
    if (!decoder) {
      error = takeLastError(kDecoderCouldNotLoad);
      return nullptr;
    }
    if (!decoder->use(search)) {
      error = takeLastError(kSearchCouldNotBeSetUp);
      return nullptr;
    }
    return decoder;
  }
  void release(std::unique_ptr<Decoder> decoder) {
    decoder->watch(nullptr);
    if (decoder->spent()) {
      decoder.reset();
      forget();
      return;
    }
    std::lock_guard guard(lock_);
    idle_.push_back(std::move(decoder));
  }

  // An idle decoder, or a new one while the limit allows; null otherwise.
  std::unique_ptr<Decoder> take() {
    {
      std::lock_guard guard(lock_);
      if (!idle_.empty()) {
        auto decoder = std::move(idle_.back());
        idle_.pop_back();
        return decoder;
      }
      if (limit_ != 0 && count_ >= limit_) return nullptr;
      ++count_;
    }
    auto decoder = loadDecoder(model_, dict_);
    if (!decoder) forget();
    return decoder;
  }

 private:
  // A decoder counted against the limit that never came to be.
  void forget() {
    std::lock_guard guard(lock_);
    --count_;
  }

  SphinxModel model_;
  fs::path dict_;
  size_t limit_;
  std::optional<std::string> identity_;
  bool loaded_ = false;
  std::mutex lock_;
  size_t count_ = 0;  // decoders alive or being loaded
  std::vector<std::unique_ptr<Decoder>> idle_;
};

// The pool's decoders for one recognition, all with its search.
class SearchDecoders final : public DecoderSource {
 public:
  // `held`, when given, is the first decoder handed out. Each decoder stops
  // within a block once `cancelled` is set.
  SearchDecoders(DecoderPool& pool, Search search, std::unique_ptr<Decoder> held,
                 const std::atomic<bool>& cancelled)
      : pool_(pool), search_(search), held_(std::move(held)), cancelled_(cancelled) {}
  ~SearchDecoders() override {
    if (held_) pool_.release(std::move(held_));
  }
  SearchDecoders(const SearchDecoders&) = delete;
  SearchDecoders& operator=(const SearchDecoders&) = delete;
  std::unique_ptr<SegmentDecoder> acquire(std::string& error) override {
    std::unique_ptr<Decoder> decoder;
    if (held_) {
      if (!held_->use(search_)) {
        error = takeLastError(kSearchCouldNotBeSetUp);
        return nullptr;  // the destructor gives it back
      }
      decoder = std::move(held_);
    } else {
      decoder = pool_.acquire(search_, error);
    }
    if (decoder) decoder->watch(&cancelled_);
    return decoder;
  }
  void release(std::unique_ptr<SegmentDecoder> decoder) override {
    pool_.release(std::unique_ptr<Decoder>(static_cast<Decoder*>(decoder.release())));
  }

 private:
  DecoderPool& pool_;
  Search search_;
  std::unique_ptr<Decoder> held_;
  const std::atomic<bool>& cancelled_;
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
  // Bounded, so that a header's absurd length converts to a count at all.
  constexpr double kMostSegments = 1e6;
  if (!(seconds > 0)) return 0;
  return static_cast<size_t>(std::min(std::ceil(seconds / kLongestSegmentSeconds), kMostSegments));
}

void recognise(DecoderPool& pool, Search search, std::unique_ptr<Decoder> held, AudioReader* audio,
               const std::string& openError, const std::atomic<bool>& cancelled,
               const ResultHandler& handler) {
  SearchDecoders decoders(pool, search, std::move(held), cancelled);
  if (!audio) {
    if (!cancelled) handler(std::nullopt, errorOf(openError));
    return;
  }
  if (cancelled) return;
  takeLastError("");
  auto decoded = decodeSegments(*audio, decoders, workersHere(), cancelled);
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

// Starts one recognition on a thread of its own. `held`, when given, is a
// decoder already taken for it.
std::shared_ptr<RecognitionTask> startRecognition(std::shared_ptr<DecoderPool> pool,
                                                  std::unique_ptr<Decoder> held,
                                                  std::unique_ptr<AudioReader> audio,
                                                  const std::string& openError, double seconds,
                                                  std::chrono::milliseconds wait,
                                                  ResultHandler handler) {
  auto task = std::make_shared<SphinxTask>();
  // A file long enough to hold several segments gets its decoders now,
  // before the recognition is timed, rather than while it runs. A shorter
  // one may still be cut in two, and then loads its second decoder when
  // that segment waits.
  const Search search =
      chooseSearch(seconds, workersHere(), std::chrono::duration<double>(wait).count());
  if (audio) {
    const size_t wanted = std::min(workersHere(), surelySegments(seconds));
    pool->reserve(held && wanted > 0 ? wanted - 1 : wanted, search);
  }
  // The thread owns what it uses (decoders, task, handler), so the run may
  // end, and the process exit, while it is still decoding.
  auto owned = std::make_shared<std::unique_ptr<Decoder>>(std::move(held));
  try {
    std::thread([pool, search, task, owned, audio = std::shared_ptr<AudioReader>(std::move(audio)),
                 openError, handler]() mutable {
      try {
        recognise(*pool, search, std::move(*owned), audio.get(), openError, task->cancelled,
                  handler);
      } catch (...) {
        // Out of memory while reporting; the run ends by its time-out.
      }
    }).detach();
  } catch (const std::system_error&) {
    if (*owned) pool->release(std::move(*owned));
    handler(std::nullopt, errorOf(std::string(kCouldNotStartRecognition)));
  }
  return task;
}

class SphinxRecognizer final : public SpeechRecognizer {
 public:
  explicit SphinxRecognizer(std::shared_ptr<DecoderPool> pool) : pool_(std::move(pool)) {}

  bool isAvailable() override { return pool_->loaded(); }
  bool supportsOnDeviceRecognition() override { return true; }

  std::shared_ptr<RecognitionTask> recognitionTask(URLRecognitionRequest request,
                                                   ResultHandler handler) override {
    if (!pool_->loaded()) {
      handler(std::nullopt, errorOf(std::string(kModelNotLoaded)));
      return std::make_shared<SphinxTask>();
    }
    std::string openError;
    double seconds = 0;
    auto audio = openAudio(request.audioPath, openError, &seconds);
    return startRecognition(pool_, nullptr, std::move(audio), openError, seconds,
                            request.recognitionWait, std::move(handler));
  }

 private:
  std::shared_ptr<DecoderPool> pool_;
};

class SphinxPlatform final : public SpeechPlatform {
 public:
  SphinxPlatform(SphinxModel model, std::optional<fs::path> cache)
      : model_(std::move(model)), cache_(std::move(cache)) {}

  void requestAuthorization(AuthorizationHandler handler) override {
    try {
      std::thread([handler] { handler(AuthorizationStatus::authorized); }).detach();
    } catch (const std::system_error&) {
      handler(AuthorizationStatus::authorized);
    }
  }

  std::unique_ptr<SpeechRecognizer> recognizer(std::string_view localeIdentifier) override {
    if (localeIdentifier != kLocale || !modelPresent(model_)) return nullptr;
    // Loaded once, so that every recogniser of this platform reuses them.
    std::lock_guard guard(lock_);
    if (!pool_) pool_ = std::make_shared<DecoderPool>(model_, cache_);
    return std::make_unique<SphinxRecognizer>(pool_);
  }

 private:
  SphinxModel model_;
  std::optional<fs::path> cache_;
  std::mutex lock_;
  std::shared_ptr<DecoderPool> pool_;
};

class SphinxLease final : public DecoderLease {
 public:
  SphinxLease(std::shared_ptr<DecoderPool> pool, std::unique_ptr<Decoder> held)
      : pool_(std::move(pool)), held_(std::move(held)) {}
  ~SphinxLease() override {
    if (held_) pool_->release(std::move(held_));
  }
  SphinxLease(const SphinxLease&) = delete;
  SphinxLease& operator=(const SphinxLease&) = delete;

  std::shared_ptr<RecognitionTask> recognise(int fd, std::chrono::milliseconds wait,
                                             ResultHandler handler) override {
    std::string openError;
    double seconds = 0;
    auto audio = openAudio(fd, openError, &seconds);
    return startRecognition(pool_, std::move(held_), std::move(audio), openError, seconds, wait,
                            std::move(handler));
  }

 private:
  std::shared_ptr<DecoderPool> pool_;
  std::unique_ptr<Decoder> held_;
};

class SphinxServiceEngine final : public SphinxService {
 public:
  SphinxServiceEngine(SphinxModel model, std::optional<fs::path> cache, size_t mostDecoders) {
    quietLogging();
    if (modelPresent(model))
      pool_ = std::make_shared<DecoderPool>(std::move(model), std::move(cache), mostDecoders);
  }
  bool loaded() override { return pool_ && pool_->loaded() && pool_->identity(); }
  std::string identity() override { return loaded() ? *pool_->identity() : std::string(); }
  std::unique_ptr<DecoderLease> lease() override {
    if (!loaded()) return nullptr;
    auto decoder = pool_->take();
    if (!decoder) return nullptr;
    return std::make_unique<SphinxLease>(pool_, std::move(decoder));
  }

 private:
  std::shared_ptr<DecoderPool> pool_;
};

}  // namespace

bool modelPresent(const SphinxModel& model) {
  std::error_code error;
  return fs::is_directory(model.hmm, error) && fs::is_regular_file(model.lm, error) &&
         fs::is_regular_file(model.dict, error);
}

std::unique_ptr<SphinxService> makeSphinxService(SphinxModel model,
                                                 std::optional<std::filesystem::path> cache,
                                                 size_t mostDecoders) {
  return std::make_unique<SphinxServiceEngine>(std::move(model), std::move(cache), mostDecoders);
}

SphinxModel modelIn(const std::filesystem::path& directory) {
  return SphinxModel{directory / kAcousticModel, directory / kLanguageModel,
                     directory / kDictionary};
}

std::unique_ptr<SpeechPlatform> makeSphinxPlatform(SphinxModel model,
                                                   std::optional<std::filesystem::path> cache) {
  return std::make_unique<SphinxPlatform>(std::move(model), std::move(cache));
}

}  // namespace stt
