// Which search a file gets from its length and the cores.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "search.hpp"

namespace stt {
namespace {

constexpr double kWait = 20.0;

TEST(SttSearch, CommandsGetTheFullSearchAndTwoMinutesTheFast) {
  for (const size_t cores : {1u, 2u, 16u}) {
    EXPECT_EQ(chooseSearch(0.0, cores, kWait), Search::full);
    EXPECT_EQ(chooseSearch(3.0, cores, kWait), Search::full);
    EXPECT_EQ(chooseSearch(12.0, cores, kWait), Search::full);
  }
  for (const size_t cores : {0u, 1u, 2u})
    EXPECT_EQ(chooseSearch(135.0, cores, kWait), Search::fast);
  // A length the header does not tell may be any length.
  for (const double unknown : {std::nan(""), std::numeric_limits<double>::infinity(), -1.0}) {
    EXPECT_EQ(chooseSearch(unknown, 2, kWait), Search::fast);
  }
}

// The full search covers every length up to a limit and none past it; more
// cores never take it away, and at the limit the estimate still fits a third
// of the wait.
TEST(SttSearch, TheFullSearchStopsWhereItsEstimateOutgrowsAThirdOfTheWait) {
  double previousLimit = 0;
  for (const size_t cores : {1u, 2u, 4u}) {
    double limit = -1;
    bool past = false;
    for (double seconds = 0; seconds <= 400; seconds += 0.25) {
      const bool full = chooseSearch(seconds, cores, kWait) == Search::full;
      EXPECT_FALSE(full && past) << seconds << " s on " << cores << " cores";
      if (full) limit = seconds;
      past = past || !full;
    }
    EXPECT_LE(fullSearchSeconds(limit, cores), kWait / 3);
    EXPECT_GT(fullSearchSeconds(limit + 0.25, cores), kWait / 3);
    EXPECT_GE(limit, previousLimit) << cores << " cores";
    EXPECT_GT(limit, 10.0) << cores << " cores";
    previousLimit = limit;
  }
  // A shorter wait leaves less room for the full search.
  EXPECT_EQ(chooseSearch(12.0, 2, 3.0), Search::fast);
}

}  // namespace
}  // namespace stt
