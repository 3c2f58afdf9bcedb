#include "service_linux.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace stt {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

int millisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left.count(), 1 << 30));
}

// The socket path, as SIGTERM's handler unlinks it: fixed storage, and a
// flag cleared once the path may belong to a newer service.
char gSocketPath[sizeof(sockaddr_un::sun_path)];
volatile sig_atomic_t gOwnSocket = 0;

void onTerminate(int) {
  if (gOwnSocket) ::unlink(gSocketPath);
  ::_exit(0);
}

// The folder is the user's alone; anything else there is refused.
bool prepareFolder(const fs::path& folder) {
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid())
    return false;
  return (info.st_mode & 077) == 0 || ::chmod(folder.c_str(), 0700) == 0;
}

bool peerIsUs(int fd) {
  ucred peer{};
  socklen_t size = sizeof peer;
  return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == ::getuid();
}

class Server {
 public:
  explicit Server(SphinxService& engine) : engine_(engine), identity_(engine.identity()) {}

  void serve(int fd) {
    const timeval sendWait{
        static_cast<time_t>(
            std::chrono::duration_cast<std::chrono::seconds>(kServiceRequestWait).count()),
        0};
    (void)::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendWait, sizeof sendWait);
    FrameChannel channel(fd);
    const auto hello = channel.receive(Clock::now() + kServiceRequestWait, kMostRequestBytes);
    if (hello.outcome != FrameChannel::Outcome::frame) return;
    std::unique_ptr<DecoderLease> lease;
    if (hello.frame.version == kProtocolVersion && hello.frame.kind == FrameKind::hello &&
        hello.frame.payload == identity_)
      lease = engine_.lease();
    const auto [reply, retire] = replyToHello(hello.frame, identity_, lease != nullptr);
    (void)channel.send(reply);
    if (retire) retire_ = true;
    if (!lease) return;

    int audio = -1;
    const auto request =
        channel.receive(Clock::now() + kServiceRequestWait, kMostRequestBytes, &audio);
    std::optional<std::chrono::milliseconds> wait;
    if (request.outcome == FrameChannel::Outcome::frame &&
        request.frame.version == kProtocolVersion && request.frame.kind == FrameKind::recognise)
      wait = parseRecognisePayload(request.frame.payload);
    // Only a regular file: a pipe whose writer never ends would hold this
    // thread, and its decoder, for good.
    struct stat info {};
    if (!wait || audio < 0 || ::fstat(audio, &info) != 0 || !S_ISREG(info.st_mode)) {
      if (audio >= 0) ::close(audio);
      return;
    }
    decode(channel, *lease, audio, *wait);
  }

  bool retiring() const { return retire_; }

 private:
  // The decode's answer, and a descriptor that wakes the connection's
  // thread when it comes, so that one poll waits for the answer and for
  // the caller together.
  struct Outcome {
    Outcome() : wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~Outcome() {
      if (wake >= 0) ::close(wake);
    }
    Outcome(const Outcome&) = delete;
    Outcome& operator=(const Outcome&) = delete;
    std::mutex lock;
    std::optional<Frame> reply;
    int wake;
  };

  void decode(FrameChannel& channel, DecoderLease& lease, int audio,
              std::chrono::milliseconds wait) {
    auto outcome = std::make_shared<Outcome>();
    if (outcome->wake < 0) {
      ::close(audio);
      return;
    }
    auto task = lease.recognise(
        audio, wait,
        [outcome](std::optional<RecognitionResult> result, std::optional<RecognitionError> error) {
          Frame reply;
          if (error) {
            reply.kind = FrameKind::failure;
            reply.payload = std::move(error->localizedDescription);
          } else if (result && result->isFinal) {
            reply.kind = FrameKind::transcript;
            reply.payload = std::move(result->formattedString);
          } else {
            return;
          }
          if (reply.payload.size() > kMostReplyBytes) reply.payload.resize(kMostReplyBytes);
          std::lock_guard guard(outcome->lock);
          if (!outcome->reply) outcome->reply = std::move(reply);
          const uint64_t one = 1;
          (void)::write(outcome->wake, &one, sizeof one);
        });
    auto beat = Clock::now() + kServiceHeartbeat;
    while (true) {
      pollfd ready[2] = {{outcome->wake, POLLIN, 0}, {channel.fd(), POLLIN, 0}};
      const int polled = ::poll(ready, 2, millisecondsUntil(beat));
      {
        std::lock_guard guard(outcome->lock);
        if (outcome->reply) {
          (void)channel.send(*outcome->reply);
          return;
        }
      }
      // The caller says nothing more while it waits: anything from it, its
      // hang-up above all, ends this decode at once.
      if ((polled < 0 && errno != EINTR) || (polled > 0 && ready[1].revents != 0)) {
        task->cancel();
        return;
      }
      if (Clock::now() >= beat) {
        if (!channel.send(Frame{kProtocolVersion, FrameKind::working, {}})) {
          task->cancel();
          return;
        }
        beat = Clock::now() + kServiceHeartbeat;
      }
    }
  }

  SphinxService& engine_;
  std::string identity_;
  std::atomic<bool> retire_{false};
};

}  // namespace

std::optional<ServicePaths> servicePaths() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || runtime[0] != '/') return std::nullopt;
  const fs::path folder = fs::path(runtime) / kServiceFolder;
  ServicePaths paths{folder, folder / kServiceSocket, folder / kServiceLock};
  if (paths.socket.native().size() >= sizeof(sockaddr_un::sun_path)) return std::nullopt;
  return paths;
}

FrameChannel::~FrameChannel() {
  if (fd_ >= 0) ::close(fd_);
}

bool FrameChannel::send(const Frame& frame, int passFd) {
  const std::string bytes = encodeFrame(frame);
  size_t sent = 0;
  while (sent < bytes.size()) {
    iovec part{const_cast<char*>(bytes.data() + sent), bytes.size() - sent};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (passFd >= 0 && sent == 0) {
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      cmsghdr* header = CMSG_FIRSTHDR(&message);
      header->cmsg_level = SOL_SOCKET;
      header->cmsg_type = SCM_RIGHTS;
      header->cmsg_len = CMSG_LEN(sizeof(int));
      std::memcpy(CMSG_DATA(header), &passFd, sizeof(int));
    }
    const ssize_t n = ::sendmsg(fd_, &message, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

FrameChannel::Received FrameChannel::receive(Clock::time_point deadline, size_t mostPayload,
                                             int* passed) {
  Received received;
  while (true) {
    const auto read = decodeFrame(buffer_, mostPayload);
    if (read.verdict == FrameVerdict::bad) {
      received.outcome = Outcome::bad;
      return received;
    }
    if (read.verdict == FrameVerdict::complete) {
      buffer_.erase(0, read.used);
      received.outcome = Outcome::frame;
      received.frame = read.frame;
      return received;
    }
    pollfd ready{fd_, POLLIN, 0};
    const int polled = ::poll(&ready, 1, millisecondsUntil(deadline));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) {
      received.outcome = polled == 0 ? Outcome::timedOut : Outcome::closed;
      return received;
    }
    char chunk[4096];
    iovec part{chunk, sizeof chunk};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(fd_, &message, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    // Every descriptor that came is taken: the first one asked for, the
    // rest closed, so that none leaks whatever the peer sends.
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); n >= 0 && header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
      if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
      const size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (size_t i = 0; i < count; ++i) {
        int fd;
        std::memcpy(&fd, CMSG_DATA(header) + i * sizeof(int), sizeof(int));
        if (passed != nullptr && *passed < 0) {
          *passed = fd;
        } else {
          ::close(fd);
        }
      }
    }
    if (n <= 0) {
      received.outcome = Outcome::closed;
      return received;
    }
    buffer_.append(chunk, static_cast<size_t>(n));
  }
}

int runService(const SphinxModel& model, std::optional<fs::path> cache,
               std::chrono::milliseconds idle) {
  std::signal(SIGPIPE, SIG_IGN);
  // Holds no folder of the caller's.
  (void)::chdir("/");
  const auto paths = servicePaths();
  if (!paths || !prepareFolder(paths->folder)) return 1;
  const int lock = ::open(paths->lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  // Another service holds the lock: it serves, and this one is not needed.
  if (lock < 0 || ::flock(lock, LOCK_EX | LOCK_NB) != 0) return 0;

  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) return 1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, paths->socket.c_str(), sizeof address.sun_path - 1);
  std::strncpy(gSocketPath, paths->socket.c_str(), sizeof gSocketPath - 1);
  // Whatever is there was left by a service that no longer holds the lock.
  (void)::unlink(paths->socket.c_str());
  const mode_t mask = ::umask(077);
  const bool bound = ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::umask(mask);
  if (!bound || ::chmod(paths->socket.c_str(), 0600) != 0 ||
      ::listen(listener, kServiceBacklog) != 0)
    return 1;
  gOwnSocket = 1;
  struct sigaction terminate {};
  terminate.sa_handler = onTerminate;
  ::sigaction(SIGTERM, &terminate, nullptr);

  // Callers that connect meanwhile wait in the backlog for the load.
  auto engine = makeSphinxService(model, std::move(cache), kServiceDecoders);
  if (!engine->loaded()) {
    gOwnSocket = 0;
    ::unlink(paths->socket.c_str());
    return 1;
  }
  Server server(*engine);
  std::atomic<size_t> connections{0};
  std::mutex activity;
  auto lastActive = Clock::now();
  auto touch = [&] {
    std::lock_guard guard(activity);
    lastActive = Clock::now();
  };
  bool listening = true;
  while (true) {
    if (server.retiring() && listening) {
      // A newer service may take the socket's name at once.
      gOwnSocket = 0;
      ::unlink(paths->socket.c_str());
      ::close(listener);
      ::close(lock);
      listening = false;
    }
    Clock::time_point idleEnd;
    {
      std::lock_guard guard(activity);
      idleEnd = lastActive + idle;
    }
    const bool busy = connections > 0;
    if (!busy && (!listening || Clock::now() >= idleEnd)) break;
    const auto tick = Clock::now() + kServiceHeartbeat;
    pollfd incoming{listening ? listener : -1, POLLIN, 0};
    const int polled = ::poll(
        &incoming, 1, millisecondsUntil(busy || !listening ? tick : std::min(idleEnd, tick)));
    if (polled <= 0 || !listening) continue;
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    touch();
    if (!peerIsUs(fd) || connections >= kServiceConnections) {
      ::close(fd);
      continue;
    }
    ++connections;
    try {
      std::thread([&server, &connections, touch, fd] {
        server.serve(fd);
        touch();
        --connections;
      }).detach();
    } catch (const std::system_error&) {
      ::close(fd);
      --connections;
    }
  }
  if (gOwnSocket) {
    gOwnSocket = 0;
    ::unlink(paths->socket.c_str());
  }
  return 0;
}

}  // namespace stt
