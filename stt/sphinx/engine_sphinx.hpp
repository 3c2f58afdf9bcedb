// The speech platform on Linux: PocketSphinx with its US English model.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "constants.hpp"
#include "speech.hpp"

namespace stt {

struct SphinxModel {
  std::filesystem::path hmm;   // acoustic model directory
  std::filesystem::path lm;    // language model
  std::filesystem::path dict;  // pronunciation dictionary
};

// The layout of Debian's pocketsphinx-en-us package under `directory`.
SphinxModel modelIn(const std::filesystem::path& directory);

// Authorisation is always granted, since Linux has no speech permission. The
// recogniser for "en-US" is absent when the model files are missing, and
// unavailable when they are there but do not load. With a cache folder, the
// dictionary cut to the language model's words is kept there and loaded in
// place of the full one (prepared_dictionary.hpp).
std::unique_ptr<SpeechPlatform> makeSphinxPlatform(
    SphinxModel model, std::optional<std::filesystem::path> cache = std::nullopt);

// Whether the model's files are all there (not whether they load).
bool modelPresent(const SphinxModel& model);

// A decoder held for one caller of the recogniser service.
class DecoderLease {
 public:
  virtual ~DecoderLease() = default;
  // Recognises the audio read from `fd`, which it takes over, as a run in
  // process does: the same search for the same wait, the same segments and
  // sentences. The held decoder decodes the first segment.
  virtual std::shared_ptr<RecognitionTask> recognise(int fd, std::chrono::milliseconds wait,
                                                     ResultHandler handler) = 0;
};

// The engine as the service keeps it: one model load, decoders reused.
class SphinxService {
 public:
  virtual ~SphinxService() = default;
  virtual bool loaded() = 0;
  // The model files' identity as loaded; empty when not loaded.
  virtual std::string identity() = 0;
  // Null when every decoder the service may have is taken.
  virtual std::unique_ptr<DecoderLease> lease() = 0;
};

// Loads the model now, one decoder; at most `mostDecoders` ever live.
std::unique_ptr<SphinxService> makeSphinxService(SphinxModel model,
                                                 std::optional<std::filesystem::path> cache,
                                                 size_t mostDecoders);

}  // namespace stt
