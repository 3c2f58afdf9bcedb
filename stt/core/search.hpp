// Which search a file gets. The engine's full search is the most accurate;
// the fast one prunes harder so that two minutes of speech fit the
// recognition wait. A file gets the full search when its decode, estimated
// from its length and the cores it can use, fits well inside the wait.
#pragma once

#include <cstddef>

namespace stt {

enum class Search { full, fast };

// Processor seconds the full search spends per second of audio. Measured on
// the corpus and on real read speech, idle 2-core machine (bench/README.md):
// 0.16 to 0.20; the margin covers a slower machine.
inline constexpr double kFullSearchCostPerSecond = 0.25;
// Wall seconds to load the decoders before the decoding starts, with margin.
inline constexpr double kDecoderLoadSeconds = 1.0;
// The share of the recognition wait a full search may be expected to take;
// the rest is room for a busy machine.
inline constexpr double kFullSearchShareOfWait = 1.0 / 3.0;
// No segment is longer than this, so a file of N times this length can keep
// N decoders busy.
inline constexpr double kLongestSegmentSeconds = 20.0;

// Estimated wall seconds of a full search of `seconds` of audio on `cores`.
double fullSearchSeconds(double seconds, size_t cores);

// The search for a file of `seconds` (from its header) on `cores`, given the
// recognition wait in seconds. A length that is not a finite number gets the
// fast search.
Search chooseSearch(double seconds, size_t cores, double waitSeconds);

}  // namespace stt
