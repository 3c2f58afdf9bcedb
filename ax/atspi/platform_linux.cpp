#include "platform_linux.hpp"

#include <dirent.h>
#include <glib.h>
#include <unistd.h>

#include <fstream>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace ombru::ax::desktop {
namespace {

void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nowhere to write; nothing else can be done
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

// The tool's standard error carries only its own few messages, so what the
// libraries would log there is dropped.
GLogWriterOutput dropLog(GLogLevelFlags, const GLogField*, gsize, gpointer) {
  return G_LOG_WRITER_HANDLED;
}
void dropMessage(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

}  // namespace

LinuxPlatform::LinuxPlatform(int argc, char** argv)
    : args_(argv, argv + argc),
      tree_([this] { return x11_.atspiBusAddress(); },
            [this](std::int64_t pid, const WindowHint* hint) { return x11_.originOf(pid, hint); }),
      input_(x11_) {
  g_log_set_writer_func(dropLog, nullptr, nullptr);
  g_log_set_default_handler(dropMessage, nullptr);
}

std::vector<std::string> LinuxPlatform::processNames() {
  std::vector<std::string> out;
  DIR* proc = opendir("/proc");
  if (!proc) return out;
  while (dirent* d = readdir(proc)) {
    if (d->d_name[0] < '1' || d->d_name[0] > '9') continue;
    const std::string base = std::string("/proc/") + d->d_name;
    char buf[4096];
    ssize_t n = readlink((base + "/exe").c_str(), buf, sizeof buf - 1);
    if (n > 0) {
      std::string path(buf, static_cast<size_t>(n));
      out.push_back(path.substr(path.rfind('/') + 1));
    }
    std::ifstream comm(base + "/comm");
    std::string name;
    if (std::getline(comm, name) && !name.empty()) out.push_back(name);
  }
  closedir(proc);
  return out;
}

std::optional<std::vector<WindowValue>> LinuxPlatform::windowList() {
  return x11_.windowList([this](std::int64_t pid) { return tree_.nameOfProcess(pid); });
}

void LinuxPlatform::writeOut(std::string_view bytes) {
  writeAll(STDOUT_FILENO, bytes);
}
void LinuxPlatform::writeErr(std::string_view bytes) {
  writeAll(STDERR_FILENO, bytes);
}

std::chrono::nanoseconds LinuxPlatform::now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
}

void LinuxPlatform::sleepFor(std::chrono::microseconds duration) {
  // The target moves on while we wait: nothing read before is kept.
  tree_.invalidate();
  if (duration.count() > 0) std::this_thread::sleep_for(duration);
}

void LinuxPlatform::exit(int status) {
  tree_.release();
  x11_.close();
  std::exit(status);
}

}  // namespace ombru::ax::desktop
