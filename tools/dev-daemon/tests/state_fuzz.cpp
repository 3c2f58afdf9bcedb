// Arbitrary scenario documents and command bodies must give an answer, never
// a crash: the first line is the document, each further line a command whose
// first byte picks its path (m: /mute, l: /loop, b: /bind, other: unknown).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "state.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), size);
  auto nl = in.find('\n');
  auto doc = nlohmann::ordered_json::parse(in.substr(0, nl), nullptr, false);
  if (doc.is_discarded()) return 0;
  devd::Clock::time_point t{};
  devd::DaemonState state(std::move(doc), t);
  int step = 0;
  while (nl != std::string_view::npos) {
    in.remove_prefix(nl + 1);
    nl = in.find('\n');
    std::string_view line = in.substr(0, nl);
    if (line.empty()) continue;
    const char* path = line[0] == 'm'   ? "/mute"
                       : line[0] == 'l' ? "/loop"
                       : line[0] == 'b' ? "/bind"
                                        : "/x";
    t += std::chrono::seconds(++step * 97);
    devd::Reply r = state.command(path, line.substr(1), t);
    if (r.status < 200 || r.status > 599) __builtin_trap();
    (void)state.document(t).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  }
  (void)state.document(t + std::chrono::hours(24 * 365));
  return 0;
}
