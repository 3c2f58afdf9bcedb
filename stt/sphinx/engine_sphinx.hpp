// The speech platform on Linux: PocketSphinx with its US English model.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>

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

}  // namespace stt
