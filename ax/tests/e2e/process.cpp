#include "process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace ombru::e2e {
namespace {

void applyEnv(const EnvChanges& env) {
  for (const auto& [key, value] : env) {
    if (value)
      setenv(key.c_str(), value->c_str(), 1);
    else
      unsetenv(key.c_str());
  }
}

[[noreturn]] void execOrDie(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

}  // namespace

Result run(const std::vector<std::string>& argv, std::chrono::milliseconds limit,
           const EnvChanges& env) {
  Result r;
  int outPipe[2], errPipe[2];
  if (pipe(outPipe) != 0) return r;
  if (pipe(errPipe) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    return r;
  }
  auto begin = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    dup2(outPipe[1], STDOUT_FILENO);
    dup2(errPipe[1], STDERR_FILENO);
    close(outPipe[0]);
    close(outPipe[1]);
    close(errPipe[0]);
    close(errPipe[1]);
    applyEnv(env);
    execOrDie(argv);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  if (pid < 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    return r;
  }
  setpgid(pid, pid);
  auto deadline = begin + limit;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      r.timedOut = true;
      kill(-pid, SIGKILL);
      break;
    }
    int n = poll(fds, 2, static_cast<int>(left.count()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      ssize_t got = read(fds[i].fd, buf, sizeof buf);
      if (got > 0) {
        (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(got));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (pollfd& f : fds)
    if (f.fd >= 0) close(f.fd);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 begin);
  return r;
}

pid_t start(const std::vector<std::string>& argv, const std::string& logPath,
            const EnvChanges& env) {
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    int fd = open(logPath.empty() ? "/dev/null" : logPath.c_str(),
                  O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
      dup2(fd, STDOUT_FILENO);
      dup2(fd, STDERR_FILENO);
    }
    applyEnv(env);
    execOrDie(argv);
  }
  if (pid > 0) setpgid(pid, pid);
  return pid;
}

bool alive(pid_t pid) {
  int status = 0;
  return waitpid(pid, &status, WNOHANG) == 0;
}

int stop(pid_t pid) {
  if (pid <= 0) return -1;
  kill(-pid, SIGTERM);
  kill(pid, SIGTERM);
  int status = 0;
  for (int i = 0; i < 50; ++i) {
    pid_t got = waitpid(pid, &status, WNOHANG);
    if (got == pid) {
      kill(-pid, SIGKILL);  // helpers the program left in its group
      return status;
    }
    if (got < 0) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  kill(-pid, SIGKILL);
  waitpid(pid, &status, 0);
  return status;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  std::istringstream in(text);
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

std::string makeTempDir(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + ".XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) return {};
  return buf.data();
}

void removeTree(const std::string& path) {
  std::error_code ec;
  if (!path.empty()) std::filesystem::remove_all(path, ec);
}

}  // namespace ombru::e2e
