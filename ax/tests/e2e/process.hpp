// Starting, running and stopping the real programs of an end-to-end test.
// Everything started here is stopped by its pid (and process group).
#pragma once

#include <sys/types.h>
#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ombru::e2e {

struct Result {
  std::string out;
  std::string err;
  int status = -1;        // exit status, or -1 when killed by a signal
  bool timedOut = false;  // killed after the time limit
  std::chrono::milliseconds took{0};
};

// Environment changes for a child: a value sets the variable, nullopt unsets it.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

// Runs a program to its end (or kills it after `limit`), capturing its output.
Result run(const std::vector<std::string>& argv, std::chrono::milliseconds limit,
           const EnvChanges& env = {});

// Starts a program in its own process group; stdout and stderr go to `logPath`
// (or /dev/null when empty). Returns its pid, or -1.
pid_t start(const std::vector<std::string>& argv, const std::string& logPath,
            const EnvChanges& env = {});
// True while the process has not ended.
bool alive(pid_t pid);
// SIGTERM to its group, then SIGKILL after a grace period; reaps it.
// Returns the wait status.
int stop(pid_t pid);

std::string readFile(const std::string& path);
std::vector<std::string> splitLines(const std::string& text);
std::string makeTempDir(const std::string& prefix);
void removeTree(const std::string& path);

}  // namespace ombru::e2e
