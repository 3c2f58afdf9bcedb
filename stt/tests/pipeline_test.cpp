// The segment pipeline over scripted decoders: how many decoders a file
// costs, that the sentences come back in order, and what a cancel, a
// failing decoder or a read error leave behind.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "pipeline.hpp"
#include "samples.hpp"

namespace stt {
namespace {

using namespace std::chrono_literals;

// `seconds` of a tone whose peak is `peak`.
std::vector<int16_t> tone(double seconds, int peak) {
  std::vector<int16_t> samples(static_cast<size_t>(seconds * kSampleRate));
  for (size_t i = 0; i < samples.size(); ++i)
    samples[i] = static_cast<int16_t>(i % 2 ? peak : -peak);
  return samples;
}
// Stretches long enough that each pause after them ends a segment.
std::vector<int16_t> stretches(std::initializer_list<int> peaks) {
  std::vector<int16_t> audio;
  for (const int peak : peaks) audio = audio + tone(8.5, peak) + quiet(0.7);
  return audio;
}

class Samples final : public AudioReader {
 public:
  explicit Samples(std::vector<int16_t> samples, std::string error = {})
      : samples_(std::move(samples)), error_(std::move(error)) {}
  std::span<const int16_t> next() override {
    const size_t n = std::min<size_t>(4096, samples_.size() - at_);
    const auto block = std::span(samples_).subspan(at_, n);
    at_ += n;
    return block;
  }
  std::string error() override { return at_ == samples_.size() ? error_ : ""; }

 private:
  std::vector<int16_t> samples_;
  std::string error_;
  size_t at_ = 0;
};

// Decoders whose words are a segment's peak, so that order shows. While
// `holdFirst` is set the first segment's decode waits until a second decoder
// is decoding beside it, or the run is cancelled; the deadline only keeps a broken
// pipeline from hanging the test.
class Decoders final : public DecoderSource {
 public:
  bool holdFirst = false;
  bool loads = true;
  int failOnPeak = -1;
  const std::atomic<bool>* cancelled = nullptr;

  std::mutex lock;
  std::condition_variable changed;
  int created = 0, released = 0, busy = 0, mostBusy = 0;
  bool firstTaken = false;

  std::unique_ptr<SegmentDecoder> acquire(std::string& error) override {
    if (!loads) {
      error = "model missing";
      return nullptr;
    }
    std::lock_guard guard(lock);
    ++created;
    changed.notify_all();
    return std::make_unique<Decoder>(*this);
  }
  void release(std::unique_ptr<SegmentDecoder> decoder) override {
    decoder.reset();
    std::lock_guard guard(lock);
    ++released;
  }

 private:
  struct Decoder final : SegmentDecoder {
    explicit Decoder(Decoders& owner) : owner(owner) {}
    bool decode(const Segment& segment, std::string& text, std::string& error) override {
      int peak = 0;
      for (const int16_t s : segment.samples) peak = std::max(peak, static_cast<int>(s));
      std::unique_lock guard(owner.lock);
      owner.mostBusy = std::max(owner.mostBusy, ++owner.busy);
      owner.changed.notify_all();
      if (owner.holdFirst && !owner.firstTaken) {
        owner.firstTaken = true;
        owner.changed.notify_all();
        owner.changed.wait_for(guard, 30s, [&] {
          return owner.mostBusy >= 2 || (owner.cancelled != nullptr && *owner.cancelled);
        });
      }
      --owner.busy;
      if (peak == owner.failOnPeak) {
        error = "decoder fell over";
        return false;
      }
      text = segment.speech ? std::to_string(peak) + " heard" : "";
      return true;
    }
    Decoders& owner;
  };
};

TEST(SttPipeline, AOneSegmentClipCostsOneDecoder) {
  Samples audio(quiet(0.3) + tone(3, 3000) + quiet(0.5) + tone(2, 4000) + quiet(0.3));
  Decoders decoders;
  std::atomic<bool> cancelled{false};
  const auto decoded = decodeSegments(audio, decoders, 8, cancelled);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->error, "");
  EXPECT_EQ(decoded->text, "4000 heard.");
  EXPECT_EQ(decoders.created, 1);
  EXPECT_EQ(decoders.released, 1);
}

TEST(SttPipeline, ASegmentWaitingOnABusyDecoderGetsASecondAndTheSentencesKeepTheirOrder) {
  Samples audio(stretches({1000, 2000, 3000, 4000, 5000}));
  Decoders decoders;
  decoders.holdFirst = true;
  std::atomic<bool> cancelled{false};
  const auto decoded = decodeSegments(audio, decoders, 2, cancelled);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->error, "");
  EXPECT_EQ(decoded->text, "1000 heard. 2000 heard. 3000 heard. 4000 heard. 5000 heard.");
  EXPECT_EQ(decoders.created, 2);
  EXPECT_EQ(decoders.mostBusy, 2);
  EXPECT_EQ(decoders.released, 2);

  // One worker allowed: the same file on one decoder.
  Samples again(stretches({1000, 2000, 3000}));
  Decoders one;
  const auto alone = decodeSegments(again, one, 1, cancelled);
  ASSERT_TRUE(alone);
  EXPECT_EQ(alone->text, "1000 heard. 2000 heard. 3000 heard.");
  EXPECT_EQ(one.created, 1);
}

TEST(SttPipeline, ACancelStopsTheRunAndEveryDecoderComesBack) {
  Samples audio(stretches({1000, 2000, 3000, 4000}));
  Decoders decoders;
  decoders.holdFirst = true;
  std::atomic<bool> cancelled{false};
  decoders.cancelled = &cancelled;
  // Only one worker, so the held decode waits for the cancel.
  std::thread canceller([&] {
    std::unique_lock guard(decoders.lock);
    decoders.changed.wait_for(guard, 30s, [&] { return decoders.firstTaken; });
    cancelled = true;
    decoders.changed.notify_all();
  });
  const auto decoded = decodeSegments(audio, decoders, 1, cancelled);
  canceller.join();
  EXPECT_FALSE(decoded);
  EXPECT_EQ(decoders.released, decoders.created);
}

TEST(SttPipeline, FailuresAreReportedAndAReadErrorKeepsWhatWasHeard) {
  std::atomic<bool> cancelled{false};
  {
    Samples audio(stretches({1000, 2000, 3000}));
    Decoders decoders;
    decoders.failOnPeak = 2000;
    const auto decoded = decodeSegments(audio, decoders, 2, cancelled);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->error, "decoder fell over");
  }
  {
    Samples audio(tone(2, 1000));
    Decoders decoders;
    decoders.loads = false;
    const auto decoded = decodeSegments(audio, decoders, 2, cancelled);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->error, "model missing");
  }
  {
    Samples audio(tone(2, 1000), "truncated file");
    Decoders decoders;
    const auto decoded = decodeSegments(audio, decoders, 2, cancelled);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->error, "");
    EXPECT_EQ(decoded->text, "1000 heard.");
  }
  {
    Samples audio({}, "truncated file");
    Decoders decoders;
    const auto decoded = decodeSegments(audio, decoders, 2, cancelled);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->error, "truncated file");
    EXPECT_EQ(decoders.created, 0);
  }
}

}  // namespace
}  // namespace stt
