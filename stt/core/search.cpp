#include "search.hpp"

#include <algorithm>
#include <cmath>

namespace stt {

double fullSearchSeconds(double seconds, size_t cores) {
  const double segments = std::max(1.0, std::ceil(seconds / kLongestSegmentSeconds));
  const double workers = std::min(segments, static_cast<double>(std::max<size_t>(cores, 1)));
  return kDecoderLoadSeconds + seconds * kFullSearchCostPerSecond / workers;
}

Search chooseSearch(double seconds, size_t cores, double waitSeconds) {
  if (!std::isfinite(seconds) || seconds < 0) return Search::fast;
  return fullSearchSeconds(seconds, cores) <= waitSeconds * kFullSearchShareOfWait ? Search::full
                                                                                   : Search::fast;
}

}  // namespace stt
