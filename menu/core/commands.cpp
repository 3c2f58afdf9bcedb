#include "commands.hpp"

#include <nlohmann/json.hpp>

namespace ombru::menu {

namespace {

Command make(std::string path, const nlohmann::json& body) {
  // Texts that are not valid UTF-8 are sent with U+FFFD instead of failing.
  return {std::move(path), body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)};
}

}  // namespace

std::optional<Command> commandFor(std::string_view action, const Represented& represented,
                                  bool checked, const State& state) {
  using nlohmann::json;
  if (action == actions::toggleMute) {
    return make("/mute", json{{"muted", !state.muted}});
  }
  if (action == actions::toggleLoop) {
    const auto* key = std::get_if<std::string>(&represented);
    if (key == nullptr) return std::nullopt;
    // The check mark shows the loop as last built; ask for the opposite.
    return make("/loop", json{{"key", *key}, {"on", !checked}});
  }
  if (action == actions::setMinutes) {
    const auto* map = std::get_if<RepresentedMap>(&represented);
    if (map == nullptr) return std::nullopt;
    auto k = map->find("key");
    auto m = map->find("minutes");
    if (k == map->end() || m == map->end()) return std::nullopt;
    const auto* key = std::get_if<std::string>(&k->second);
    const auto* minutes = std::get_if<std::int64_t>(&m->second);
    if (key == nullptr || minutes == nullptr) return std::nullopt;
    // Choosing an interval always switches the loop on.
    return make("/loop", json{{"key", *key}, {"minutes", *minutes}, {"on", true}});
  }
  if (action == actions::allLoops) {
    const auto* on = std::get_if<bool>(&represented);
    return make("/loop", json{{"all", true}, {"on", on ? *on : true}});
  }
  if (action == actions::bind) {
    const auto* spoken = std::get_if<std::string>(&represented);
    if (spoken == nullptr) return std::nullopt;
    return make("/bind", json{{"project", *spoken}});
  }
  return std::nullopt;
}

}  // namespace ombru::menu
