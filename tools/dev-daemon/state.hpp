// The stand-in daemon's state: the "/state" document it serves, the commands
// that change it, and the smart-loop countdowns that run down in real time.
// No sockets here, so every rule can be tested with a hand-made clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace devd {

using Clock = std::chrono::steady_clock;

// What the daemon answers to one request: an HTTP status and a JSON body.
struct Reply {
  int status = 200;
  nlohmann::ordered_json body;
};

// The document compiled in from scenarios/demo.json.
nlohmann::ordered_json demoDocument();

class DaemonState {
 public:
  // `doc` is served as given; only the commands and the countdowns change it.
  DaemonState(nlohmann::ordered_json doc, Clock::time_point now);

  // The document as it stands at `now`, countdowns included.
  nlohmann::ordered_json document(Clock::time_point now) const;

  // Applies a command posted to `path` ("/mute", "/loop" or "/bind") with
  // the raw request body. A body that is not valid JSON or not shaped as the
  // command needs gets 400 and changes nothing. Never throws.
  Reply command(std::string_view path, std::string_view body, Clock::time_point now);

  // The same, for a body already parsed.
  Reply mute(const nlohmann::ordered_json& body);
  Reply loop(const nlohmann::ordered_json& body, Clock::time_point now);
  Reply bind(const nlohmann::ordered_json& body);

 private:
  // One per entry of "active" that carries a whole "next_in"; the served
  // value is `start` minus the whole seconds since `since`, restarting at the
  // loop's interval when it runs out, or `start` itself while the loop is off.
  struct Countdown {
    bool tracked = false;
    std::int64_t start = 0;
    Clock::time_point since;
  };

  std::int64_t remaining(std::size_t i, Clock::time_point now) const;
  void setLoop(std::size_t i, bool on, const nlohmann::ordered_json* minutes,
               Clock::time_point now);

  nlohmann::ordered_json doc_;
  std::vector<Countdown> countdowns_;
};

// Helpers shared with the tests: how the menu reads an entry's loop.
bool loopOn(const nlohmann::ordered_json& entry);
double loopMinutes(const nlohmann::ordered_json& entry);

}  // namespace devd
