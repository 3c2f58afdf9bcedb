// Desktop files come from any package: reading one never crashes, and a
// name it gives is never empty.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "desktop_entries.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (std::string_view locale : {"", "de_DE.UTF-8@euro", "pt_BR"}) {
    auto e = ombru::ax::desktop::parseDesktopEntry(text, "x", locale);
    if (e && e->name.empty()) std::abort();
  }
  return 0;
}
