// Runs another program to its end, its standard output and error collected
// in files, as a caller of ombru-stt would.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "scratch_dir.hpp"

extern char** environ;

struct Ran {
  int status = -1;
  std::string out, err;
  double cpuSeconds = 0;  // user and system time the program took
};

// A started program; `wait` collects it. The files are named by `stem`, so
// that programs running side by side keep apart.
class Running {
 public:
  Running(std::vector<std::string> argv, std::filesystem::path stem)
      : out_(stem.string() + ".stdout"), err_(stem.string() + ".stderr") {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = 0;
    posix_spawn_file_actions_destroy(&actions);
  }
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;
  ~Running() { (void)wait(); }

  Ran wait() {
    if (pid_ != 0) {
      int status = 0;
      rusage usage{};
      while (wait4(pid_, &status, 0, &usage) < 0 && errno == EINTR) {
      }
      ran_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      ran_.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
      pid_ = 0;
      ran_.out = readFile(out_);
      ran_.err = readFile(err_);
      std::filesystem::remove(out_);
      std::filesystem::remove(err_);
    }
    return ran_;
  }

 private:
  static double seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  }

  std::filesystem::path out_, err_;
  pid_t pid_ = 0;
  Ran ran_;
};

inline Ran runProgram(std::vector<std::string> argv, const std::filesystem::path& stem) {
  return Running(std::move(argv), stem).wait();
}
