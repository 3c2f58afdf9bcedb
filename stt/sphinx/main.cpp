// ombru-stt: transcribes one audio file to English text.
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine_sphinx.hpp"
#include "transcribe.hpp"

namespace {

void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // write errors are ignored
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

// Unbuffered, so every byte is out before the process ends.
class StandardStreams final : public stt::Console {
 public:
  void out(std::string_view bytes) override { writeAll(STDOUT_FILENO, bytes); }
  void err(std::string_view bytes) override { writeAll(STDERR_FILENO, bytes); }
};

}  // namespace

int main(int argc, char** argv) {
  // A caller that stops reading must not turn a result into a signal death.
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv, argv + argc);
  auto platform = stt::makeSphinxPlatform(stt::modelIn(stt::kModelDirectory));
  StandardStreams console;
  return stt::transcribe(args, *platform, console,
                         stt::Waits{stt::kAuthorisationWait, stt::kRecognitionWait});
}
