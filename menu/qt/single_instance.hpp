#pragma once
// One tray application per user: a new copy leaves when an older copy of the
// same executable is already running.

#include <sys/types.h>

#include <cstdint>

namespace ombru::menu::qt {

struct Copy {
  pid_t pid = 0;
  std::uint64_t started = 0;  // start time, in clock ticks since boot
};

// Process ids wrap around, so a lower id is not an older process: copies are
// ordered by start time, and the id only breaks ties, so that of two copies
// started in the same tick exactly one stays.
constexpr bool olderThan(const Copy& a, const Copy& b) {
  return a.started != b.started ? a.started < b.started : a.pid < b.pid;
}

// True when another live process runs the same executable file as this one
// and is older than it.
bool olderCopyRunning();

}  // namespace ombru::menu::qt
