// Any argument vector gets options or an error, never a crash. Arguments are
// separated by NUL bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "options.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> args;
  while (!in.empty()) {
    auto z = in.find('\0');
    args.push_back(in.substr(0, z));
    if (z == std::string_view::npos) break;
    in.remove_prefix(z + 1);
  }
  devd::ParsedOptions p = devd::parseOptions(args);
  if (p.error.empty() && (p.options.port < 0 || p.options.port > 65535)) __builtin_trap();
  return 0;
}
