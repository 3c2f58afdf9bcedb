#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "single_instance.hpp"

namespace ombru::menu::qt {
namespace {

// Start time (field 22 of /proc/PID/stat), or none for a process that is
// gone or a zombie. The command name in field 2 may hold spaces and
// parentheses, so fields are counted from the last ')'.
std::optional<std::uint64_t> startTime(const std::string& dir) {
  std::ifstream in(dir + "/stat");
  std::string text;
  if (!std::getline(in, text)) return std::nullopt;
  const auto close = text.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(text.substr(close + 1));
  std::string state;
  fields >> state;  // field 3
  if (state == "Z" || state == "X" || state == "x") return std::nullopt;
  std::string skip;
  for (int field = 4; field < 22; ++field) fields >> skip;
  std::uint64_t started = 0;
  if (!(fields >> started)) return std::nullopt;
  return started;
}

}  // namespace

bool olderCopyRunning() {
  struct stat self {};
  if (stat("/proc/self/exe", &self) != 0) return false;
  const auto selfStart = startTime("/proc/self");
  if (!selfStart) return false;
  const Copy me{getpid(), *selfStart};

  DIR* proc = opendir("/proc");
  if (!proc) return false;
  bool older = false;
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (*end != '\0' || pid <= 0 || pid == me.pid) continue;
    const std::string dir = std::string("/proc/") + entry->d_name;
    struct stat exe {};
    // Another user's processes are not readable and so never count.
    if (stat((dir + "/exe").c_str(), &exe) != 0) continue;
    if (exe.st_dev != self.st_dev || exe.st_ino != self.st_ino) continue;
    const auto started = startTime(dir);
    if (started && olderThan(Copy{static_cast<pid_t>(pid), *started}, me)) {
      older = true;
      break;
    }
  }
  closedir(proc);
  return older;
}

}  // namespace ombru::menu::qt
