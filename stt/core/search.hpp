// Which search a file gets. The engine's full search is the most accurate;
// the fast one prunes harder so that two minutes of speech fit the
// recognition wait. A file gets the full search when its decode, estimated
// from its length and the cores it can use, fits well inside the wait.
#pragma once

#include <cstddef>

#include "constants.hpp"

namespace stt {

enum class Search { full, fast };

// Estimated wall seconds of a full search of `seconds` of audio on `cores`.
double fullSearchSeconds(double seconds, size_t cores);

// The search for a file of `seconds` (from its header) on `cores`, given the
// recognition wait in seconds. A length that is not a finite number gets the
// fast search.
Search chooseSearch(double seconds, size_t cores, double waitSeconds);

}  // namespace stt
