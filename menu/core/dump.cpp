#include <nlohmann/json.hpp>
#include <string>
#include <type_traits>

#include "menu_model.hpp"

namespace ombru::menu {

namespace {

std::string quoted(const std::string& s) {
  // Invalid UTF-8 is shown as U+FFFD rather than failing the dump.
  return nlohmann::json(s).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string number(double d) {
  // Round-trip form, so golden files show the exact value.
  return nlohmann::json(d).dump();
}

template <class V>
std::string scalarText(const V& v) {
  using T = std::decay_t<V>;
  if constexpr (std::is_same_v<T, std::monostate>) {
    return "none";
  } else if constexpr (std::is_same_v<T, bool>) {
    return v ? "bool:true" : "bool:false";
  } else if constexpr (std::is_same_v<T, std::int64_t>) {
    return "int:" + std::to_string(v);
  } else if constexpr (std::is_same_v<T, double>) {
    return "double:" + number(v);
  } else if constexpr (std::is_same_v<T, std::string>) {
    return "text:" + quoted(v);
  } else {
    std::string out = "map{";
    bool first = true;
    for (const auto& [k, val] : v) {
      if (!first) out += ",";
      first = false;
      out += quoted(k) + ":" + std::visit([](const auto& x) { return scalarText(x); }, val);
    }
    return out + "}";
  }
}

void dumpItems(const Menu& menu, int depth, std::string& out) {
  for (const Item& i : menu) {
    out.append(static_cast<std::size_t>(depth) * 2, ' ');
    if (i.separator) {
      out += "---\n";
      continue;
    }
    out += quoted(i.title);
    out += i.header ? " header=yes" : " header=no";
    out += " action=" + (i.action.empty() ? std::string("none") : i.action);
    out += " key=" + quoted(i.keyEquivalent);
    out += i.enabled ? " enabled=yes" : " enabled=no";
    out += i.checked ? " state=on" : " state=off";
    out += " object=" + dumpRepresented(i.represented);
    out += i.hasSubmenu() ? " submenu=yes\n" : " submenu=no\n";
    dumpItems(i.submenu, depth + 1, out);
  }
}

}  // namespace

std::string dumpRepresented(const Represented& value) {
  return std::visit([](const auto& x) { return scalarText(x); }, value);
}

std::string dumpMenu(const Menu& menu) {
  std::string out;
  dumpItems(menu, 0, out);
  return out;
}

}  // namespace ombru::menu
