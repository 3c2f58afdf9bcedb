// The recogniser service on Linux: a per-user process that keeps the model
// loaded and serves recognitions over a Unix socket in the user's runtime
// folder, and the tool's side of it, which decodes in process whenever the
// service cannot answer.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "engine_sphinx.hpp"
#include "protocol.hpp"
#include "speech.hpp"

namespace stt {

struct ServicePaths {
  std::filesystem::path folder, socket, lock;
};

// Under $XDG_RUNTIME_DIR; absent when it is not set to an absolute path.
std::optional<ServicePaths> servicePaths();

// Frames over one connected socket, with a descriptor passed beside them.
class FrameChannel {
 public:
  explicit FrameChannel(int fd) : fd_(fd) {}
  ~FrameChannel();
  FrameChannel(const FrameChannel&) = delete;
  FrameChannel& operator=(const FrameChannel&) = delete;

  int fd() const { return fd_; }
  // False when the frame did not go whole.
  bool send(const Frame& frame, int passFd = -1);

  enum class Outcome { frame, bad, closed, timedOut };
  struct Received {
    Outcome outcome = Outcome::closed;
    Frame frame;
  };
  // The next frame, waiting until `deadline`. A descriptor that comes with
  // it goes to `passed` when given (the caller then owns it), else is closed.
  Received receive(std::chrono::steady_clock::time_point deadline, size_t mostPayload,
                   int* passed = nullptr);

 private:
  int fd_;
  std::string buffer_;
};

// Serves until idle for `idle`, or SIGTERM. Returns the exit status.
int runService(const SphinxModel& model, std::optional<std::filesystem::path> cache,
               std::chrono::milliseconds idle);

// The tool's platform: the service when it answers, else the engine in
// process. `serviceProgram` is the service's executable to start when none
// runs.
std::unique_ptr<SpeechPlatform> makeServicePlatform(SphinxModel model,
                                                    std::optional<std::filesystem::path> cache,
                                                    std::filesystem::path serviceProgram);

}  // namespace stt
