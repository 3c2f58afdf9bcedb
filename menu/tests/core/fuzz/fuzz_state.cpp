// Any reply body: decode it, lay out its menu, dump it, and show it. Nothing
// may crash, the streaming decoder must agree with a whole-document decode,
// and the layout of a decoded state must always keep its frame.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/ombru_menu_core.hpp"
#include "core/state_detail.hpp"

using namespace ombru::menu;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view body(reinterpret_cast<const char*>(data), size);
  State s = decodeState(body);
  // Dropping the unread parts while parsing must not change the result.
  if (s != detail::decodeStateUnpruned(body)) std::abort();
  Menu m = buildMenu(s);
  if (m.empty() || !m.front().header) std::abort();
  if (!s.running && m.size() != 5) std::abort();
  if (s.running && m.back().action != actions::quit) std::abort();
  std::string dump = dumpMenu(m);
  if (dump.empty()) std::abort();
  (void)display(s);
  // Every command the menu can send is formed without fault.
  for (const Item& i : m) {
    if (i.hasAction()) (void)commandFor(i.action, i.represented, i.checked, s);
    for (const Item& j : i.submenu)
      for (const Item& k : j.submenu)
        if (k.hasAction()) (void)commandFor(k.action, k.represented, k.checked, s);
  }
  return 0;
}
