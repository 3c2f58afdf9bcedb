// The tool's side of the recogniser service. Every way the service can fail
// to answer (none there, none can start, busy, another version or model,
// garbage, a hang-up or silence mid-decode) ends in the in-process engine,
// with the same request and the same result handler, so that the caller
// sees one recognition either way.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "prepared_dictionary.hpp"
#include "service_linux.hpp"

namespace stt {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// -1 when nothing listens there, or it is not this user's.
int connectTo(const fs::path& socketPath) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != ::getuid()) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Starts the service detached: in a session of its own, not this process's
// child, with no descriptor of this process but /dev/null as its standard
// streams. False when it could not be started.
bool startService(const fs::path& program) {
  if (::access(program.c_str(), X_OK) != 0) return false;
  const std::string path = program.string();
  char* const argv[] = {const_cast<char*>(path.c_str()), nullptr};
  const pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    // Only async-signal-safe calls between fork and exec.
    if (::setsid() < 0) ::_exit(1);
    const pid_t service = ::fork();
    if (service != 0) ::_exit(service < 0 ? 1 : 0);
    const int null = ::open("/dev/null", O_RDWR);
    if (null < 0) ::_exit(1);
    for (int fd = 0; fd < 3; ++fd) ::dup2(null, fd);
    ::close_range(3, ~0U, 0);
    ::execv(argv[0], argv);
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A channel to a service that has a decoder ready for this caller; null
// when the tool must decode by itself.
std::shared_ptr<FrameChannel> askService(const SphinxModel& model, const fs::path& program) {
  const auto paths = servicePaths();
  if (!paths) return nullptr;
  const auto identity = modelIdentity(model.dict, model.lm);
  if (!identity) return nullptr;
  int fd = connectTo(paths->socket);
  if (fd < 0) {
    if (!startService(program)) return nullptr;
    const auto giveUp = Clock::now() + kServiceStartWait;
    while ((fd = connectTo(paths->socket)) < 0 && Clock::now() < giveUp)
      std::this_thread::sleep_for(kServiceConnectPoll);
    if (fd < 0) return nullptr;
  }
  auto channel = std::make_shared<FrameChannel>(fd);
  if (!channel->send(Frame{kProtocolVersion, FrameKind::hello, *identity})) return nullptr;
  const auto reply = channel->receive(Clock::now() + kServiceReadyWait, kMostReplyBytes);
  if (reply.outcome != FrameChannel::Outcome::frame ||
      answerToHello(reply.frame) != HelloAnswer::useService)
    return nullptr;
  return channel;
}

// The engine in process, loaded only when the service fails the tool.
class LocalEngine {
 public:
  LocalEngine(SphinxModel model, std::optional<fs::path> cache)
      : platform_(makeSphinxPlatform(std::move(model), std::move(cache))) {}
  SpeechPlatform& platform() { return *platform_; }
  // Null when the model has gone since it was looked at.
  SpeechRecognizer* recognizer() {
    std::lock_guard guard(lock_);
    if (!recognizer_) recognizer_ = platform_->recognizer(kLocale);
    return recognizer_.get();
  }

 private:
  std::unique_ptr<SpeechPlatform> platform_;
  std::mutex lock_;
  std::unique_ptr<SpeechRecognizer> recognizer_;
};

std::shared_ptr<RecognitionTask> decodeHere(LocalEngine& local, URLRecognitionRequest request,
                                            const ResultHandler& handler) {
  if (auto* recognizer = local.recognizer())
    return recognizer->recognitionTask(std::move(request), handler);
  handler(std::nullopt, RecognitionError{std::string(kModelNotLoaded)});
  return nullptr;
}

// The service's decode, or the one in process that took over from it.
class ClientTask final : public RecognitionTask {
 public:
  explicit ClientTask(std::shared_ptr<FrameChannel> channel) : channel_(std::move(channel)) {}
  void cancel() override {
    std::shared_ptr<RecognitionTask> inner;
    {
      std::lock_guard guard(lock_);
      cancelled_ = true;
      inner = inner_;
    }
    // The service sees the hang-up and stops at once.
    ::shutdown(channel_->fd(), SHUT_RDWR);
    if (inner) inner->cancel();
  }
  bool cancelled() {
    std::lock_guard guard(lock_);
    return cancelled_;
  }
  void takeOver(std::shared_ptr<RecognitionTask> inner) {
    std::lock_guard guard(lock_);
    inner_ = std::move(inner);
    if (cancelled_ && inner_) inner_->cancel();
  }
  FrameChannel& channel() { return *channel_; }

 private:
  std::shared_ptr<FrameChannel> channel_;
  std::mutex lock_;
  bool cancelled_ = false;
  std::shared_ptr<RecognitionTask> inner_;
};

void awaitService(const std::shared_ptr<ClientTask>& task,
                  const std::shared_ptr<LocalEngine>& local, const URLRecognitionRequest& request,
                  const ResultHandler& handler) {
  while (true) {
    const auto got = task->channel().receive(Clock::now() + kServiceSilence, kMostReplyBytes);
    const bool ours =
        got.outcome == FrameChannel::Outcome::frame && got.frame.version == kProtocolVersion;
    if (ours && got.frame.kind == FrameKind::working) continue;
    if (ours && got.frame.kind == FrameKind::transcript) {
      handler(RecognitionResult{true, got.frame.payload}, std::nullopt);
      return;
    }
    if (ours && got.frame.kind == FrameKind::failure) {
      handler(std::nullopt, RecognitionError{got.frame.payload});
      return;
    }
    if (task->cancelled()) return;
    ::shutdown(task->channel().fd(), SHUT_RDWR);
    task->takeOver(decodeHere(*local, request, handler));
    return;
  }
}

class ServiceRecognizer final : public SpeechRecognizer {
 public:
  ServiceRecognizer(SphinxModel model, fs::path program, std::shared_ptr<LocalEngine> local)
      : model_(std::move(model)), program_(std::move(program)), local_(std::move(local)) {}

  bool isAvailable() override {
    if (!asked_) {
      asked_ = true;
      channel_ = askService(model_, program_);
    }
    if (channel_) return true;
    auto* recognizer = local_->recognizer();
    return recognizer != nullptr && recognizer->isAvailable();
  }
  bool supportsOnDeviceRecognition() override { return true; }

  std::shared_ptr<RecognitionTask> recognitionTask(URLRecognitionRequest request,
                                                   ResultHandler handler) override {
    if (!asked_) (void)isAvailable();
    auto channel = std::move(channel_);
    if (!channel) return decodeHere(*local_, std::move(request), handler);
    // The file is opened here, with the caller's rights, and only a regular
    // file goes to the service; anything else, or a file that does not
    // open, is left to the engine here, whose description of it the caller
    // knows.
    const int audio =
        ::open(request.audioPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat info {};
    const bool regular = audio >= 0 && ::fstat(audio, &info) == 0 && S_ISREG(info.st_mode);
    const bool sent = regular && channel->send(Frame{kProtocolVersion, FrameKind::recognise,
                                                     recognisePayload(request.recognitionWait)},
                                               audio);
    if (audio >= 0) ::close(audio);
    if (!sent) return decodeHere(*local_, std::move(request), handler);
    auto task = std::make_shared<ClientTask>(std::move(channel));
    try {
      std::thread([task, local = local_, request, handler] {
        try {
          awaitService(task, local, request, handler);
        } catch (...) {
          // Out of memory while reporting; the run ends by its time-out.
        }
      }).detach();
    } catch (const std::system_error&) {
      return decodeHere(*local_, std::move(request), handler);
    }
    return task;
  }

 private:
  SphinxModel model_;
  fs::path program_;
  std::shared_ptr<LocalEngine> local_;
  bool asked_ = false;
  std::shared_ptr<FrameChannel> channel_;
};

class ServicePlatform final : public SpeechPlatform {
 public:
  ServicePlatform(SphinxModel model, std::optional<fs::path> cache, fs::path program)
      : model_(model),
        program_(std::move(program)),
        local_(std::make_shared<LocalEngine>(std::move(model), std::move(cache))) {}

  void requestAuthorization(AuthorizationHandler handler) override {
    local_->platform().requestAuthorization(std::move(handler));
  }
  std::unique_ptr<SpeechRecognizer> recognizer(std::string_view localeIdentifier) override {
    if (localeIdentifier != kLocale || !modelPresent(model_)) return nullptr;
    return std::make_unique<ServiceRecognizer>(model_, program_, local_);
  }

 private:
  SphinxModel model_;
  fs::path program_;
  std::shared_ptr<LocalEngine> local_;
};

}  // namespace

std::unique_ptr<SpeechPlatform> makeServicePlatform(SphinxModel model,
                                                    std::optional<fs::path> cache,
                                                    fs::path serviceProgram) {
  return std::make_unique<ServicePlatform>(std::move(model), std::move(cache),
                                           std::move(serviceProgram));
}

}  // namespace stt
