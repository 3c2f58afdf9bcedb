#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "punctuate.hpp"
#include "samples.hpp"
#include "segment.hpp"

namespace stt {
namespace {

// `seconds` of a loud tone.
std::vector<int16_t> tone(double seconds) {
  std::vector<int16_t> samples(static_cast<size_t>(seconds * kSampleRate));
  for (size_t i = 0; i < samples.size(); ++i)
    samples[i] = static_cast<int16_t>(8000 * std::sin(static_cast<double>(i) * 0.3));
  return samples;
}

std::vector<Segment> cutAll(const std::vector<int16_t>& audio, size_t block = 4096) {
  Segmenter segmenter;
  std::vector<Segment> done;
  for (size_t at = 0; at < audio.size(); at += block)
    segmenter.feed(std::span(audio).subspan(at, std::min(block, audio.size() - at)), done);
  segmenter.finish(done);
  return done;
}

size_t total(const std::vector<Segment>& segments) {
  return std::accumulate(segments.begin(), segments.end(), size_t{0},
                         [](size_t n, const Segment& s) { return n + s.samples.size(); });
}

TEST(SttSegmenter, AShortClipIsOneSegmentWhateverItsPauses) {
  const auto audio = quiet(0.3) + tone(1.5) + quiet(0.8) + tone(1.5) + quiet(0.3);
  const auto segments = cutAll(audio);
  ASSERT_EQ(segments.size(), 1u);
  EXPECT_EQ(segments[0].samples, audio);
  EXPECT_TRUE(segments[0].speech);
}

TEST(SttSegmenter, LongSpeechIsCutInThePausesAndNothingIsLost) {
  // Five 8.5 s stretches of speech with 0.7 s pauses between them.
  std::vector<int16_t> audio;
  for (int i = 0; i < 5; ++i) audio = audio + tone(8.5) + quiet(0.7);
  for (const size_t block : {size_t{1}, size_t{160}, size_t{4096}, audio.size()}) {
    const auto segments = cutAll(audio, block);
    ASSERT_EQ(total(segments), audio.size()) << block;
    std::vector<int16_t> joined;
    for (const auto& s : segments) joined = joined + s.samples;
    EXPECT_EQ(joined, audio);
    // One sentence each, cut inside the pauses; what is left of the last
    // pause is a segment with no speech.
    ASSERT_EQ(segments.size(), 6u) << block;
    for (size_t i = 0; i < 5; ++i) {
      EXPECT_TRUE(segments[i].speech);
      EXPECT_EQ(segments[i].samples.back(), 0);
    }
    EXPECT_FALSE(segments[5].speech);
  }
}

TEST(SttSegmenter, SpeechWithoutPausesIsCutAtTwentySecondsAtTheQuietestPoint) {
  // 50 s of tone with only a short dip at 15 s: the first cut takes the dip,
  // the rest are hard cuts, none longer than 20 s.
  const auto audio = tone(15) + quiet(0.1) + tone(35);
  const auto segments = cutAll(audio);
  ASSERT_EQ(total(segments), audio.size());
  ASSERT_GE(segments.size(), 3u);
  EXPECT_NEAR(static_cast<double>(segments[0].samples.size()) / kSampleRate, 15.05, 0.06);
  for (const auto& s : segments) EXPECT_LE(s.samples.size(), size_t{20 * kSampleRate});
}

TEST(SttSegmenter, SilenceIsNoSpeechAndNothingIsNoSegment) {
  auto segments = cutAll(quiet(3));
  ASSERT_EQ(segments.size(), 1u);
  EXPECT_FALSE(segments[0].speech);
  EXPECT_TRUE(cutAll({}).empty());
  // A quiet hum stays below the sound threshold once the floor has found it.
  std::vector<int16_t> hum(3 * kSampleRate);
  for (size_t i = 0; i < hum.size(); ++i) hum[i] = static_cast<int16_t>(i % 2 ? 20 : -20);
  EXPECT_FALSE(cutAll(hum)[0].speech);
}

TEST(SttPunctuation, EachSegmentIsASentence) {
  EXPECT_EQ(asSentence("i think i'll go home"), "I think I'll go home.");
  EXPECT_EQ(asSentence("  the  bus is late \n"), "The bus is late.");
  EXPECT_EQ(asSentence(" \t"), "");
  EXPECT_EQ(joinSentences({"the bus is late", "", "i walked"}), "The bus is late. I walked.");
  EXPECT_EQ(joinSentences({"", ""}), "");
  EXPECT_EQ(joinSentences({}), "");
}

}  // namespace
}  // namespace stt
