#pragma once
// Which command each menu action sends to the daemon.

#include <optional>
#include <string>
#include <string_view>

#include "menu_model.hpp"
#include "state.hpp"

namespace ombru::menu {

// One POST: address is DAEMON + path, header "Content-Type: application/json",
// time-out POST_TIMEOUT, body sent as is; when the exchange ends, whatever the
// outcome, poll "/state" again.
struct Command {
  std::string path;  // "/mute", "/loop" or "/bind"
  std::string body;  // compact JSON object: booleans are true/false, minutes an integer
  bool operator==(const Command&) const = default;
};

// The command for the chosen item: its action name (a selector from
// `actions`), its represented object and check mark, and the current State.
// None when the action sends nothing (quit and the process-control actions,
// unknown names) or when the represented object is missing or mistyped.
// "setMinutes:" needs a map whose "minutes" is an integer (std::int64_t);
// "allLoops:" falls back to "on": true when it carries no boolean.
std::optional<Command> commandFor(std::string_view action, const Represented& represented,
                                  bool checked, const State& state);

}  // namespace ombru::menu
