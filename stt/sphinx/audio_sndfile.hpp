// Reads any audio file libsndfile knows (it detects WAV, FLAC, OGG/Opus, MP3
// and more by content) as 16 kHz mono 16-bit samples, a block at a time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

namespace stt {

inline constexpr int kSampleRate = 16000;

class AudioReader {
 public:
  virtual ~AudioReader() = default;
  // The next block of samples; empty at the end or after a read error.
  virtual std::span<const int16_t> next() = 0;
  // libsndfile's description of a read error, empty when there was none.
  virtual std::string error() = 0;
};

// Null on failure, with libsndfile's description of it in `error`.
std::unique_ptr<AudioReader> openAudio(const std::filesystem::path& path, std::string& error);

}  // namespace stt
