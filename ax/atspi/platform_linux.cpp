#include "platform_linux.hpp"

#include <glib.h>
#include <unistd.h>

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
    : args_(argv, argv + argc), tree_([this] { return x11_.atspiBusAddress(); }), input_(x11_) {
  g_log_set_writer_func(dropLog, nullptr, nullptr);
  g_log_set_default_handler(dropMessage, nullptr);
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
