// Cuts a stream of 16 kHz mono samples into segments at pauses, so that each
// segment can be decoded as one whole utterance. Pure: no engine in sight.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace stt {

inline constexpr int kSegmentRate = 16000;
inline constexpr size_t kFrameSamples = kSegmentRate / 100;  // 10 ms

struct Segment {
  std::vector<int16_t> samples;
  bool speech = false;  // false when it holds nothing but pause
};

// How a pause is found and where a cut may fall, in 10 ms frames.
struct SegmentRules {
  size_t pauseFrames = 40;          // a pause this long ends a segment...
  size_t minFrames = 800;           // ...once the segment has this much before it
  size_t maxFrames = 2000;          // never longer than this (20 s)
  size_t speechFrames = 10;         // fewer loud frames than this is no speech
  double floorRisePerFrame = 0.01;  // dB the noise floor may rise per frame
  double aboveFloor = 10.0;         // dB over the noise floor that counts as sound
  double silentBelow = -60.0;       // dBFS that is always silence
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
