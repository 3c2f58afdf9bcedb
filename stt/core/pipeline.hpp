// One recognition over an engine's decoders: a reader cuts the audio into
// segments at its pauses and queues them, workers decode them, each with a
// decoder of its own, and the segments' sentences are joined in order. The
// engine supplies the audio and the decoders; this part knows neither.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "segment.hpp"

namespace stt {

// 16 kHz mono samples, a block at a time.
class AudioReader {
 public:
  virtual ~AudioReader() = default;
  // The next block of samples; empty at the end or after a read error.
  virtual std::span<const int16_t> next() = 0;
  // The description of a read error, empty when there was none.
  virtual std::string error() = 0;
};

class SegmentDecoder {
 public:
  virtual ~SegmentDecoder() = default;
  // One segment as one whole utterance: its words, or false with `error`.
  virtual bool decode(const Segment& segment, std::string& text, std::string& error) = 0;
};

// Where workers get their decoders, and give them back when done.
class DecoderSource {
 public:
  virtual ~DecoderSource() = default;
  // Null, with `error` set, when no decoder can be had.
  virtual std::unique_ptr<SegmentDecoder> acquire(std::string& error) = 0;
  virtual void release(std::unique_ptr<SegmentDecoder> decoder) = 0;
};

struct Decoded {
  std::string text;   // the sentences, when there is no error
  std::string error;  // empty on success
};

// Absent when cancelled. At most `maxWorkers` workers run, and a worker
// starts only when a segment is waiting and every worker is busy, so a
// one-segment clip uses one decoder. Reading runs a few segments ahead of
// decoding, no more. A cancel is seen before each block read and each
// segment decoded.
std::optional<Decoded> decodeSegments(AudioReader& audio, DecoderSource& decoders,
                                      size_t maxWorkers, const std::atomic<bool>& cancelled,
                                      SegmentRules rules = {});

}  // namespace stt
