// ombru-stt: transcribes one audio file to English text.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "engine_sphinx.hpp"
#include "prepared_dictionary.hpp"
#include "service_linux.hpp"
#include "transcribe.hpp"

// Present only in sanitizer builds, whose reports must stay visible.
extern "C" void __sanitizer_set_report_fd(void* fd) __attribute__((weak));

namespace {

void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // write errors are ignored
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

// Libraries underneath, libsndfile's MP3 decoder among them, print warnings
// on standard error, where a caller expects nothing but this program's one
// message. The program keeps the real standard error for itself and sends
// descriptor 2 to /dev/null. Returns the descriptor to write messages to.
int claimStandardError() {
  const int mine = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (mine < 0 || null < 0 || dup2(null, STDERR_FILENO) < 0) {
    if (mine >= 0) close(mine);
    if (null >= 0) close(null);
    return STDERR_FILENO;
  }
  close(null);
  if (__sanitizer_set_report_fd != nullptr) {
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(mine)));
  }
  return mine;
}

// Unbuffered, so every byte is out before the process ends.
class StandardStreams final : public stt::Console {
 public:
  explicit StandardStreams(int errFd) : errFd_(errFd) {}
  void out(std::string_view bytes) override { writeAll(STDOUT_FILENO, bytes); }
  void err(std::string_view bytes) override { writeAll(errFd_, bytes); }

 private:
  int errFd_;
};

// The service's executable: beside this one in a build tree, else where
// the install puts it relative to this one. Empty when this one cannot be
// found, and then no service is started.
std::filesystem::path serviceProgram() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return {};
  auto beside = self.parent_path() / stt::kServiceProgram;
  if (::access(beside.c_str(), X_OK) == 0) return beside;
  return (self.parent_path() / OMBRU_STT_SERVICE_FROM_TOOL).lexically_normal();
}

}  // namespace

int main(int argc, char** argv) {
  // A caller that stops reading must not turn a result into a signal death.
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv, argv + argc);
  auto platform = stt::makeServicePlatform(stt::modelIn(stt::kModelDirectory),
                                           stt::cacheDirectory(), serviceProgram());
  StandardStreams console(claimStandardError());
  const int status = stt::transcribe(args, *platform, console,
                                     stt::Waits{stt::kAuthorisationWait, stt::kRecognitionWait});
  // Everything is written by now. Freeing the decoders' hundred thousand
  // allocations one by one would add a twentieth of a second to every run;
  // the process's end returns them at once.
  std::_Exit(status);
}
