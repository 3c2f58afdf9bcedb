#pragma once
// Child processes and the service manager of the daemon.

#include <string>
#include <vector>

#include "platform.hpp"

namespace ombru::menu::qt {

// The words joined with one space between each pair, unquoted.
std::string joinWords(const std::vector<std::string>& words);

// Runs "/bin/bash" "-lc" <joined words> with the application's standard
// streams and waits for it. Returns the exit status, 128 + the signal number
// when a signal ended it, or -1 when bash could not be started.
int shell(const std::vector<std::string>& words);

class LoginShell final : public Shell {
 public:
  int run(const std::vector<std::string>& words) override { return shell(words); }
};

// The daemon's job in the systemd user manager, under this label.
inline constexpr const char* SERVICE_LABEL = "dev.ombru.voice";

class SystemdUserService final : public ServiceManager {
 public:
  std::vector<std::string> startWords() const override;
  std::vector<std::string> restartWords() const override;
};

}  // namespace ombru::menu::qt
