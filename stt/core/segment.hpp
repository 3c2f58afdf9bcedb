// Cuts a stream of 16 kHz mono samples into segments at pauses, so that each
// segment can be decoded as one whole utterance. Pure: no engine in sight.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "constants.hpp"

namespace stt {

struct Segment {
  std::vector<int16_t> samples;
  bool speech = false;  // false when it holds nothing but pause
};

// How a pause is found and where a cut may fall, in 10 ms frames; the
// defaults, and what each rule means, are in constants.hpp.
struct SegmentRules {
  size_t pauseFrames = kPauseFrames;
  size_t minFrames = kMinSegmentFrames;
  size_t maxFrames = kMaxSegmentFrames;
  size_t speechFrames = kSpeechFrames;
  double floorRisePerFrame = kFloorRisePerFrame;
  double aboveFloor = kAboveFloor;
  double silentBelow = kSilentBelow;
};

class Segmenter {
 public:
  explicit Segmenter(SegmentRules rules = {}) : rules_(rules) {}

  // Takes more samples; segments completed by them are appended to `done`.
  void feed(std::span<const int16_t> samples, std::vector<Segment>& done);
  // The last segment, with whatever is left; absent when nothing is left.
  void finish(std::vector<Segment>& done);

 private:
  void addFrame(std::vector<Segment>& done);
  void cut(size_t frame, std::vector<Segment>& done);
  size_t bestCut() const;

  SegmentRules rules_;
  std::vector<int16_t> samples_;  // the segment being gathered
  std::vector<bool> silent_;      // one flag per whole frame of it
  size_t trailingSilent_ = 0;
  double noiseFloor_ = 0;
  bool floorKnown_ = false;
};

}  // namespace stt
