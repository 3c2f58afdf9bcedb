#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>

#include "process.hpp"

extern char** environ;

namespace ombru::menu::qt {

std::string joinWords(const std::vector<std::string>& words) {
  std::string line;
  for (size_t i = 0; i < words.size(); ++i) {
    if (i > 0) line += ' ';
    line += words[i];
  }
  return line;
}

int shell(const std::vector<std::string>& words) {
  std::string path = "/bin/bash", flag = "-lc", line = joinWords(words);
  char* argv[] = {path.data(), flag.data(), line.data(), nullptr};
  pid_t pid = 0;
  // posix_spawn rather than fork: safe from a multi-threaded process, and the
  // child inherits our standard streams as they are.
  if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ) != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

std::vector<std::string> SystemdUserService::startWords() const {
  return {"systemctl", "--user", "start", SERVICE_LABEL};
}

std::vector<std::string> SystemdUserService::restartWords() const {
  return {"systemctl", "--user", "restart", SERVICE_LABEL};
}

}  // namespace ombru::menu::qt
