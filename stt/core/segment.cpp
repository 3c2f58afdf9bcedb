#include "segment.hpp"

#include <algorithm>
#include <cmath>

namespace stt {

void Segmenter::feed(std::span<const int16_t> samples, std::vector<Segment>& done) {
  for (const int16_t sample : samples) {
    samples_.push_back(sample);
    if (samples_.size() == (silent_.size() + 1) * kFrameSamples) addFrame(done);
  }
}

void Segmenter::finish(std::vector<Segment>& done) {
  if (!samples_.empty()) cut(silent_.size() + 1, done);
}

void Segmenter::addFrame(std::vector<Segment>& done) {
  const auto frame = std::span(samples_).last(kFrameSamples);
  double power = 0;
  for (const int16_t s : frame) power += static_cast<double>(s) * s;
  power /= static_cast<double>(kFrameSamples) * kFullScale * kFullScale;
  const double level = std::max(kLowestLevel, 10.0 * std::log10(power + kPowerFloor));
  // The floor follows the quietest frames down at once and rises slowly,
  // so a long stretch of speech does not become the floor.
  // It starts at the level that is always silence, so that a recording
  // that starts loud does not take its speech for the floor.
  if (!floorKnown_) noiseFloor_ = rules_.silentBelow;
  floorKnown_ = true;
  noiseFloor_ = std::min(level, noiseFloor_ + rules_.floorRisePerFrame);
  const bool silent = level < std::max(noiseFloor_ + rules_.aboveFloor, rules_.silentBelow) ||
                      level < kInaudibleBelow;
  silent_.push_back(silent);
  trailingSilent_ = silent ? trailingSilent_ + 1 : 0;

  const size_t frames = silent_.size();
  if (trailingSilent_ == rules_.pauseFrames && frames - trailingSilent_ >= rules_.minFrames) {
    // Half the pause stays with each side.
    cut(frames - trailingSilent_ / 2, done);
  } else if (frames >= rules_.maxFrames) {
    cut(bestCut(), done);
  }
}

// The middle of the longest pause, the later one on a tie; the end when the
// segment has no silent frame at all.
size_t Segmenter::bestCut() const {
  size_t best = silent_.size(), bestLength = 0, run = 0;
  for (size_t i = 0; i < silent_.size(); ++i) {
    run = silent_[i] ? run + 1 : 0;
    const size_t middle = i + 1 - run / 2;
    if (run > 0 && run >= bestLength && middle > 0 && middle < silent_.size()) {
      bestLength = run;
      best = middle;
    }
  }
  return best;
}

void Segmenter::cut(size_t frame, std::vector<Segment>& done) {
  const size_t end = std::min(frame * kFrameSamples, samples_.size());
  const size_t frames = std::min(frame, silent_.size());
  Segment segment;
  segment.samples.assign(samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(end));
  const auto loud = static_cast<size_t>(
      std::count(silent_.begin(), silent_.begin() + static_cast<std::ptrdiff_t>(frames), false));
  segment.speech = loud >= rules_.speechFrames;
  done.push_back(std::move(segment));
  samples_.erase(samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(end));
  silent_.erase(silent_.begin(), silent_.begin() + static_cast<std::ptrdiff_t>(frames));
  trailingSilent_ = 0;
  for (auto it = silent_.rbegin(); it != silent_.rend() && *it; ++it) ++trailingSilent_;
}

}  // namespace stt
