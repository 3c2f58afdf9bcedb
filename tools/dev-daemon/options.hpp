// Command line of ombru-dev-daemon.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace devd {

struct Options {
  int port = 8765;
  std::string scenario;  // empty: the built-in demo
  std::string log;       // empty: standard output
  int slowMs = 0;
  bool silent = false;
  bool garbage = false;
  std::optional<int> dripMs;
  std::optional<int> status;
  bool help = false;
};

struct ParsedOptions {
  Options options;
  std::string error;  // empty when the command line is good
};

// `args` excludes the program name. Accepts "--flag VALUE" and "--flag=VALUE".
ParsedOptions parseOptions(const std::vector<std::string_view>& args);

extern const char* const kUsage;

}  // namespace devd
