#include "audio_sndfile.hpp"

#include <unistd.h>

#include <utility>

#include <samplerate.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace stt {
namespace {

constexpr sf_count_t kBlockFrames = kAudioBlockFrames;
// Room beyond the ratio's share for the samples the resampler holds back.
constexpr size_t kResamplerSlack = 64;

int16_t toSample(float value) {
  const float clamped = std::clamp(value, -1.0f, 1.0f);
  return static_cast<int16_t>(std::lrintf(clamped * static_cast<float>(INT16_MAX)));
}

class SndfileReader final : public AudioReader {
 public:
  SndfileReader(SNDFILE* file, const SF_INFO& info) : file_(file), info_(info) {}

  ~SndfileReader() override {
    if (resampler_ != nullptr) src_delete(resampler_);
    sf_close(file_);
  }

  // Sets up the resampler; false (with `error_` set) when it cannot be used.
  bool prepare() {
    // 16-bit PCM at the decoder's rate needs no conversion at all. Other
    // encodings go through floats, which libsndfile scales to [-1, 1].
    if (info_.channels == 1 && info_.samplerate == kSampleRate &&
        (info_.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16) {
      direct_ = true;
      return true;
    }
    ratio_ = static_cast<double>(kSampleRate) / info_.samplerate;
    if (info_.samplerate != kSampleRate) {
      if (src_is_valid_ratio(ratio_) == 0) {
        error_ = "unsupported sample rate " + std::to_string(info_.samplerate);
        return false;
      }
      int status = 0;
      resampler_ = src_new(SRC_SINC_FASTEST, 1, &status);
      if (resampler_ == nullptr) {
        error_ = src_strerror(status);
        return false;
      }
    }
    return true;
  }

  std::span<const int16_t> next() override {
    if (finished_) return {};
    if (direct_) return nextDirect();
    while (true) {
      if (mono_.empty() && !ended_) readMono();
      if (resampler_ == nullptr) {
        if (mono_.empty()) break;
        samples_.resize(mono_.size());
        std::transform(mono_.begin(), mono_.end(), samples_.begin(), toSample);
        mono_.clear();
        return samples_;
      }
      resampled_.resize(static_cast<size_t>(std::ceil(kBlockFrames * ratio_)) + kResamplerSlack);
      SRC_DATA data{};
      data.data_in = mono_.data();
      data.input_frames = static_cast<long>(mono_.size());
      data.data_out = resampled_.data();
      data.output_frames = static_cast<long>(resampled_.size());
      data.src_ratio = ratio_;
      data.end_of_input = ended_ ? 1 : 0;
      if (int status = src_process(resampler_, &data); status != 0) {
        error_ = src_strerror(status);
        break;
      }
      mono_.erase(mono_.begin(), mono_.begin() + data.input_frames_used);
      if (data.output_frames_gen > 0) {
        samples_.resize(static_cast<size_t>(data.output_frames_gen));
        std::transform(resampled_.begin(), resampled_.begin() + data.output_frames_gen,
                       samples_.begin(), toSample);
        return samples_;
      }
      if (ended_ && mono_.empty()) break;
    }
    finished_ = true;
    return {};
  }

  std::string error() override { return error_; }

 private:
  std::span<const int16_t> nextDirect() {
    samples_.resize(static_cast<size_t>(kBlockFrames));
    const sf_count_t got = sf_readf_short(file_, samples_.data(), kBlockFrames);
    if (got <= 0) {
      noteReadError();
      finished_ = true;
      return {};
    }
    return std::span<const int16_t>(samples_.data(), static_cast<size_t>(got));
  }

  // Reads one block and mixes it down to mono by averaging the channels.
  void readMono() {
    const auto channels = static_cast<size_t>(info_.channels);
    interleaved_.resize(static_cast<size_t>(kBlockFrames) * channels);
    const sf_count_t got = sf_readf_float(file_, interleaved_.data(), kBlockFrames);
    if (got <= 0) {
      noteReadError();
      ended_ = true;
      return;
    }
    mono_.resize(static_cast<size_t>(got));
    for (size_t frame = 0; frame < mono_.size(); ++frame) {
      float sum = 0.0f;
      for (size_t c = 0; c < channels; ++c) sum += interleaved_[frame * channels + c];
      mono_[frame] = sum / static_cast<float>(channels);
    }
  }

  void noteReadError() {
    if (sf_error(file_) != SF_ERR_NO_ERROR) error_ = sf_strerror(file_);
  }

  SNDFILE* file_;
  SF_INFO info_;
  SRC_STATE* resampler_ = nullptr;
  double ratio_ = 1.0;
  bool direct_ = false;
  bool ended_ = false;
  bool finished_ = false;
  std::string error_;
  std::vector<float> interleaved_;
  std::vector<float> mono_;
  std::vector<float> resampled_;
  std::vector<int16_t> samples_;
};

}  // namespace

namespace {

std::unique_ptr<AudioReader> readerFor(SNDFILE* file, const SF_INFO& info, std::string& error,
                                       double* seconds) {
  if (file == nullptr) {
    error = sf_strerror(nullptr);
    return nullptr;
  }
  if (info.channels < 1 || info.samplerate < 1) {
    sf_close(file);
    error = "no audio channels";
    return nullptr;
  }
  auto reader = std::make_unique<SndfileReader>(file, info);
  if (!reader->prepare()) {
    error = reader->error();
    return nullptr;
  }
  if (seconds != nullptr) {
    *seconds = info.frames > 0 ? static_cast<double>(info.frames) / info.samplerate : 0.0;
  }
  return reader;
}

}  // namespace

std::unique_ptr<AudioReader> openAudio(const std::filesystem::path& path, std::string& error,
                                       double* seconds) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  return readerFor(file, info, error, seconds);
}

namespace {

// libsndfile is told to leave the descriptor open, so that whether it closed
// one on a failure never matters; this closes it after the file.
class DescriptorReader final : public AudioReader {
 public:
  DescriptorReader(std::unique_ptr<AudioReader> inner, int fd)
      : inner_(std::move(inner)), fd_(fd) {}
  ~DescriptorReader() override {
    inner_.reset();
    ::close(fd_);
  }
  DescriptorReader(const DescriptorReader&) = delete;
  DescriptorReader& operator=(const DescriptorReader&) = delete;
  std::span<const int16_t> next() override { return inner_->next(); }
  std::string error() override { return inner_->error(); }

 private:
  std::unique_ptr<AudioReader> inner_;
  int fd_;
};

}  // namespace

std::unique_ptr<AudioReader> openAudio(int fd, std::string& error, double* seconds) {
  SF_INFO info{};
  SNDFILE* file = sf_open_fd(fd, SFM_READ, &info, 0);
  auto reader = readerFor(file, info, error, seconds);
  if (!reader) {
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<DescriptorReader>(std::move(reader), fd);
}

}  // namespace stt
