// The recogniser service as the tests see it: a runtime folder of the
// test's own, so that tests running side by side each have their service;
// runs of the tool that may use it, or a caller of the test's own; and the
// service's pid, to stop it by.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine_sphinx.hpp"
#include "prepared_dictionary.hpp"
#include "run_program.hpp"
#include "service_linux.hpp"

// Processor time since boot, all processors together, in seconds: busy
// (time stolen by the host included), and in all.
struct MachineTime {
  double busy = 0, all = 0;
};

inline std::optional<MachineTime> machineTime() {
  std::ifstream stat("/proc/stat");
  std::string label;
  if (!(stat >> label) || label != "cpu") return std::nullopt;
  // user nice system idle iowait irq softirq steal; the guest times after
  // them are counted in user time already.
  double ticks[8] = {};
  for (double& t : ticks) {
    if (!(stat >> t)) return std::nullopt;
  }
  double all = 0;
  for (const double t : ticks) all += t;
  const auto hz = static_cast<double>(sysconf(_SC_CLK_TCK));
  return MachineTime{(all - ticks[3] - ticks[4]) / hz, all / hz};
}

// Other work's share of the machine at which a run may fairly miss the
// recognition wait on two cores: an ordinary parallel build beside the run
// takes about half.
constexpr double kBusyMachine = 1.0 / 3.0;

// The share of the machine that work other than `ownCpu` seconds took
// between two readings; 0 when they could not be taken.
inline double othersShare(const std::optional<MachineTime>& before,
                          const std::optional<MachineTime>& after, double ownCpu) {
  if (!before || !after || after->all <= before->all) return 0;
  return (after->busy - before->busy - ownCpu) / (after->all - before->all);
}

class ServiceHome {
 public:
  explicit ServiceHome(std::filesystem::path runtime) : runtime_(std::move(runtime)) {
    std::filesystem::create_directories(runtime_);
    std::filesystem::permissions(runtime_, std::filesystem::perms::owner_all);
  }
  ~ServiceHome() { stop(); }
  ServiceHome(const ServiceHome&) = delete;
  ServiceHome& operator=(const ServiceHome&) = delete;

  const std::filesystem::path& runtime() const { return runtime_; }
  std::filesystem::path folder() const { return runtime_ / "ombru-stt"; }
  std::filesystem::path socket() const { return folder() / "socket"; }

  // A program run with this runtime folder, so that ombru-stt uses the
  // service there.
  Ran run(std::vector<std::string> argv, const std::filesystem::path& stem) {
    Using here(*this);
    return runProgram(std::move(argv), stem);
  }
  // While one lives, programs started get this runtime folder.
  struct Using {
    explicit Using(const ServiceHome& home) {
      setenv("XDG_RUNTIME_DIR", home.runtime().c_str(), 1);
    }
    ~Using() { unsetenv("XDG_RUNTIME_DIR"); }
  };

  // A caller that said hello and asked for `audio`, as the tool does; null
  // when the service did not take it on (busy, above all).
  std::unique_ptr<stt::FrameChannel> ask(const std::filesystem::path& audio) const {
    const auto model = stt::modelIn(stt::kModelDirectory);
    const auto identity = stt::modelIdentity(model.dict, model.lm);
    const int fd = connected();
    if (!identity || fd < 0) return nullptr;
    auto channel = std::make_unique<stt::FrameChannel>(fd);
    const auto until = std::chrono::steady_clock::now() + stt::kServiceReadyWait;
    if (!channel->send(stt::Frame{stt::kProtocolVersion, stt::FrameKind::hello, *identity}) ||
        channel->receive(until, stt::kMostReplyBytes).frame.kind != stt::FrameKind::ready)
      return nullptr;
    const int file = ::open(audio.c_str(), O_RDONLY | O_CLOEXEC);
    const bool sent = channel->send(stt::Frame{stt::kProtocolVersion, stt::FrameKind::recognise,
                                               stt::recognisePayload(stt::kRecognitionWait)},
                                    file);
    ::close(file);
    return sent ? std::move(channel) : nullptr;
  }

  // The pid of the service that holds the lock here, 0 when none does.
  // Unlike pid() it never connects, so a fake listening here sees nothing.
  pid_t lockHolder() const {
    struct stat info {};
    if (::stat((folder() / "lock").c_str(), &info) != 0) return 0;
    // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"
    std::ifstream locks("/proc/locks");
    const std::string inode = ":" + std::to_string(info.st_ino);
    std::string line;
    while (std::getline(locks, line)) {
      std::istringstream fields(line);
      std::string number, kind, mode, access, device;
      pid_t holder = 0;
      if (fields >> number >> kind >> mode >> access >> holder >> device && kind == "FLOCK" &&
          device.ends_with(inode))
        return holder;
    }
    return 0;
  }

  // The processor time the process has had, all its threads together.
  static double cpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    std::getline(stat, field, ')');  // past the name, which may hold spaces
    double ticks = 0;
    for (int i = 3; i <= 15 && stat >> field; ++i) {
      if (i >= 14) ticks += std::stod(field);  // user and system time
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }

  // The pid of the service listening, 0 when none answers.
  pid_t pid() const {
    const int fd = connected();
    ucred peer{};
    socklen_t size = sizeof peer;
    const bool ok = fd >= 0 && ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0;
    if (fd >= 0) ::close(fd);
    return ok ? peer.pid : 0;
  }

  // Whether the process has ended (a zombie no one reaps counts as ended).
  static bool gone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    for (int i = 0; i < 3 && stat >> field; ++i) {
    }
    return !stat || field == "Z";
  }
  static bool waitGone(pid_t pid, std::chrono::seconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!gone(pid) && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return gone(pid);
  }

  // Stops whatever service answers here, by its pid.
  void stop() {
    for (pid_t pid = livePid(); pid != 0; pid = livePid()) {
      ::kill(pid, SIGTERM);
      if (!waitGone(pid, std::chrono::seconds(5))) ::kill(pid, SIGKILL);
      (void)waitGone(pid, std::chrono::seconds(5));
    }
  }

 private:
  // A connection to the socket here, -1 when none is made.
  int connected() const {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket().c_str(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    ::close(fd);
    return -1;
  }

  pid_t livePid() const { return std::filesystem::exists(socket()) ? pid() : 0; }

  std::filesystem::path runtime_;
};
