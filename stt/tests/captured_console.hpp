// A console that keeps what a run writes, for the test to read.
#pragma once

#include <string>
#include <string_view>

#include "transcribe.hpp"

namespace stt::testing {

class Captured final : public Console {
 public:
  void out(std::string_view bytes) override { out_ += bytes; }
  void err(std::string_view bytes) override { err_ += bytes; }
  std::string out_, err_;
};

}  // namespace stt::testing
