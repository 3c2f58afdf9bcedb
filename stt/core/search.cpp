#include "search.hpp"

#include <algorithm>
#include <cmath>

namespace stt {

double fullSearchSeconds(double seconds, size_t cores) {
  // Segments are decoded side by side, one per core, but a single one may be
  // as long as the longest segment, and its decode cannot be shared.
  const double workers = static_cast<double>(std::max<size_t>(cores, 1));
  const double longest = std::max(std::min(seconds, kLongestSegmentSeconds), seconds / workers);
  return kDecoderLoadSeconds + longest * kFullSearchCostPerSecond;
}

Search chooseSearch(double seconds, size_t cores, double waitSeconds) {
  if (!std::isfinite(seconds) || seconds < 0) return Search::fast;
  return fullSearchSeconds(seconds, cores) <= waitSeconds * kFullSearchShareOfWait ? Search::full
                                                                                   : Search::fast;
}

}  // namespace stt
