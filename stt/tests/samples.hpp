// Audio built piece by piece for the segmenting tests.
#pragma once

#include <cstdint>
#include <vector>

#include "segment.hpp"

namespace stt {

// `seconds` of digital silence.
inline std::vector<int16_t> quiet(double seconds) {
  return std::vector<int16_t>(static_cast<size_t>(seconds * kSampleRate), 0);
}

// One stretch of audio after another.
inline std::vector<int16_t> operator+(std::vector<int16_t> a, const std::vector<int16_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace stt
