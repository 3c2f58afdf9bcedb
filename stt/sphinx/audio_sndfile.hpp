// Reads any audio file libsndfile knows (it detects WAV, FLAC, OGG/Opus, MP3
// and more by content) as 16 kHz mono 16-bit samples, a block at a time.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "constants.hpp"
#include "pipeline.hpp"

namespace stt {

// Null on failure, with libsndfile's description of it in `error`. The
// length the file's header gives, in seconds, goes to `seconds` when set.
std::unique_ptr<AudioReader> openAudio(const std::filesystem::path& path, std::string& error,
                                       double* seconds = nullptr);
// The same from an open descriptor, which it takes over and closes.
std::unique_ptr<AudioReader> openAudio(int fd, std::string& error, double* seconds = nullptr);

}  // namespace stt
