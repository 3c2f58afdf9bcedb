#include "pipeline.hpp"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "constants.hpp"
#include "punctuate.hpp"

namespace stt {
namespace {

class Pipeline {
 public:
  Pipeline(DecoderSource& decoders, size_t maxWorkers, const std::atomic<bool>& cancelled)
      : decoders_(decoders), cancelled_(cancelled), maxWorkers_(maxWorkers == 0 ? 1 : maxWorkers) {}

  std::optional<Decoded> run(AudioReader& audio, SegmentRules rules) {
    Segmenter segmenter(rules);
    std::vector<Segment> ready;
    bool ended = false;
    while (!ended && !cancelled_) {
      auto block = audio.next();
      if (block.empty()) {
        segmenter.finish(ready);
        ended = true;
      } else {
        segmenter.feed(block, ready);
      }
      for (auto& segment : ready) queue(std::move(segment));
      ready.clear();
    }
    {
      std::lock_guard guard(lock_);
      readerDone_ = true;
    }
    changed_.notify_all();
    for (auto& worker : workers_) worker.join();
    if (cancelled_) return std::nullopt;
    if (!decodeError_.empty()) return Decoded{{}, decodeError_};
    // A read error part-way keeps what was heard before it.
    if (std::string readError = audio.error(); !readError.empty() && samples_ == 0) {
      return Decoded{{}, std::move(readError)};
    }
    return Decoded{joinSentences(texts_), {}};
  }

 private:
  void queue(Segment segment) {
    std::unique_lock guard(lock_);
    samples_ += segment.samples.size();
    while (!changed_.wait_for(guard, kCancelPoll, [&] {
      return cancelled_ || !decodeError_.empty() ||
             pending_.size() < maxWorkers_ + kSegmentsReadAhead;
    })) {
    }
    if (cancelled_ || !decodeError_.empty()) return;
    pending_.emplace_back(texts_.size(), std::move(segment));
    texts_.emplace_back();
    if (idle_ == 0 && workers_.size() < maxWorkers_) {
      try {
        workers_.emplace_back([this, first = workers_.empty()] { work(first); });
        ++idle_;  // counted as ready until it takes its first segment
      } catch (const std::system_error&) {
        if (workers_.empty()) decodeError_ = kCouldNotStartRecognition;
      }
    }
    guard.unlock();
    changed_.notify_all();
  }

  void work(bool first) {
    std::string loadError;
    auto decoder = decoders_.acquire(loadError);
    std::unique_lock guard(lock_);
    if (!decoder) {
      // Another decoder would not load: the others carry on without it.
      if (first) decodeError_ = loadError.empty() ? std::string(kDecoderCouldNotLoad) : loadError;
      --idle_;
      changed_.notify_all();
      return;
    }
    while (true) {
      while (!changed_.wait_for(guard, kCancelPoll,
                                [&] { return cancelled_ || !pending_.empty() || readerDone_; })) {
      }
      if (cancelled_ || pending_.empty() || !decodeError_.empty()) break;
      auto [index, segment] = std::move(pending_.front());
      pending_.pop_front();
      --idle_;
      guard.unlock();
      changed_.notify_all();
      std::string text, error;
      const bool ok = decoder->decode(segment, text, error);
      guard.lock();
      ++idle_;
      if (ok) {
        texts_[index] = std::move(text);
      } else if (decodeError_.empty()) {
        decodeError_ = error.empty() ? std::string(kDecodingFailed) : std::move(error);
      }
    }
    --idle_;
    guard.unlock();
    changed_.notify_all();
    decoders_.release(std::move(decoder));
  }

  DecoderSource& decoders_;
  const std::atomic<bool>& cancelled_;
  size_t maxWorkers_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<std::pair<size_t, Segment>> pending_;
  std::vector<std::string> texts_;
  std::vector<std::thread> workers_;
  size_t idle_ = 0;
  size_t samples_ = 0;
  bool readerDone_ = false;
  std::string decodeError_;
};

}  // namespace

std::optional<Decoded> decodeSegments(AudioReader& audio, DecoderSource& decoders,
                                      size_t maxWorkers, const std::atomic<bool>& cancelled,
                                      SegmentRules rules) {
  return Pipeline(decoders, maxWorkers, cancelled).run(audio, rules);
}

}  // namespace stt
