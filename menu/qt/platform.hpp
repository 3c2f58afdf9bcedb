#pragma once
// The narrow platform seams of the tray application. The controller talks to
// the daemon, the clock, the shell and the desktop only through these, so the
// tests can put fakes in their place.

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ombru::menu::qt {

class Http {
 public:
  virtual ~Http() = default;
  // GET url. `done` runs exactly once, on the main thread, when the exchange
  // has ended: with the body, or with none when the transport failed or the
  // deadline passed. False (and `done` never runs) when url is no valid
  // address. The deadline bounds the whole exchange, not just inactivity.
  virtual bool get(const std::string& url, int deadlineMs,
                   std::function<void(std::optional<std::string>)> done) = 0;
  // POST body as "application/json". `done` runs exactly once, on the main
  // thread, whatever the outcome. False (and `done` never runs) when url is no
  // valid address.
  virtual bool post(const std::string& url, const std::string& body, int deadlineMs,
                    std::function<void()> done) = 0;
};

class Timers {
 public:
  virtual ~Timers() = default;
  // Calls fn every ms milliseconds on the main thread, for ever.
  virtual void every(int ms, std::function<void()> fn) = 0;
  // Calls fn once, ms milliseconds from now, on the main thread.
  virtual void after(int ms, std::function<void()> fn) = 0;
};

class Shell {
 public:
  virtual ~Shell() = default;
  // Runs the words joined by single spaces through a login shell and waits
  // for it; returns its exit status. May be called from any thread.
  virtual int run(const std::vector<std::string>& words) = 0;
};

class Opener {
 public:
  virtual ~Opener() = default;
  // Asks the desktop to open a local file with the user's default application.
  virtual void open(const std::string& path) = 0;
};

class ServiceManager {
 public:
  virtual ~ServiceManager() = default;
  // Shell words that start, or kill and restart, the daemon's service job.
  virtual std::vector<std::string> startWords() const = 0;
  virtual std::vector<std::string> restartWords() const = 0;
};

}  // namespace ombru::menu::qt
