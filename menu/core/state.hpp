#pragma once
// The daemon's condition as read from its "/state" document, and the lenient
// decoder that turns any reply body into exactly one State.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ombru::menu {

// One active session of the daemon.
struct Active {
  std::string key;          // identifier used in loop commands
  std::string host;         // group under which the menu lists the session
  std::string title;        // shown truncated to TITLE_LIMIT characters
  std::string spoken;       // spoken name; the "project" of a bind command
  std::string state;        // free text shown after the spoken name
  std::int64_t idle = 0;    // minutes idle ("idle_minutes")
  bool loopOn = true;       // "loop"."on"
  double minutes = 10.0;    // "loop"."minutes": smart-loop interval; may be any double
  std::int64_t nextIn = 0;  // "next_in": seconds until the next check, may be negative

  Active() = default;
  Active(std::string key, std::string host, std::string title, std::string spoken,
         std::string state, std::int64_t idle, bool loopOn, double minutes, std::int64_t nextIn);
  // loopOn and minutes left out: true and 10.0.
  Active(std::string key, std::string host, std::string title, std::string spoken,
         std::string state, std::int64_t idle, std::int64_t nextIn);

  bool operator==(const Active&) const = default;
};

// A default State means "not running".
struct State {
  bool running = false;  // the reply body parsed as a JSON object
  std::vector<Active> active;
  bool muted = false;
  bool chat = false;
  std::string bound;
  std::vector<std::string> sessions;  // kept, never displayed
  std::vector<std::string> waiting;   // the "project" of each waiting entry
  std::string takeaway;               // "last"."takeaway"
  std::string project;                // "last"."project"
  std::string voice;                  // "engines"."voice"
  std::string hearing;                // "engines"."hearing"

  bool operator==(const State&) const = default;
};

// Decodes a reply body. Never throws and never fails: a body that is not a
// JSON object (empty, garbage, array, scalar) gives the default State, and
// every missing or mistyped key leaves its field at the default. Any nesting
// depth and size is handled without recursion; memory grows only with the
// parts of the document that are read. A transport failure with no body at
// all should be treated as State{} by the caller.
State decodeState(std::string_view body) noexcept;

// The same; the HTTP status is deliberately not looked at (an error status
// with a JSON object body still means the daemon is running).
State decodeState(int status, std::string_view body) noexcept;

}  // namespace ombru::menu
