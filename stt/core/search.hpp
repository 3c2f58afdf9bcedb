// Which search a file gets. The engine's full search is the most accurate;
// the fast one prunes harder so that two minutes of speech fit the
// recognition wait. A file gets the full search when its decode, estimated
// from its length and the cores it can use, fits well inside the wait.
#pragma once

#include <cstddef>

namespace stt {

enum class Search { full, fast };

// Processor seconds the full search spends per second of audio: 0.24 on
// 20 s stretches of the corpus, 0.29 on its short clips and 0.32 on real
// recordings, measured on a 2-core machine that other work kept busy (load
// 5 to 8; bench/README.md). The fast search spends 0.12 there.
inline constexpr double kFullSearchCostPerSecond = 0.3;
// Wall seconds to load the decoders before the decoding starts, with margin.
inline constexpr double kDecoderLoadSeconds = 1.0;
// The share of the recognition wait a full search may be expected to take;
// the rest is room for a busy machine.
inline constexpr double kFullSearchShareOfWait = 1.0 / 3.0;
// No segment is longer than this (SegmentRules::maxFrames), and one segment
// is decoded by one core.
inline constexpr double kLongestSegmentSeconds = 20.0;

// Estimated wall seconds of a full search of `seconds` of audio on `cores`.
double fullSearchSeconds(double seconds, size_t cores);

// The search for a file of `seconds` (from its header) on `cores`, given the
// recognition wait in seconds. A length that is not a finite number gets the
// fast search.
Search chooseSearch(double seconds, size_t cores, double waitSeconds);

}  // namespace stt
