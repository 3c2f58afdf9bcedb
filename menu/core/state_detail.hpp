#pragma once
// For tests only: the same decoding without the streaming pruner, parsing the
// whole document into memory first. The fuzzer checks both agree.

#include <string_view>

#include "state.hpp"

namespace ombru::menu::detail {

State decodeStateUnpruned(std::string_view body) noexcept;

}  // namespace ombru::menu::detail
