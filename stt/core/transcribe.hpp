// The transcription run: command line, authorisation, recogniser checks,
// recognition and output. It returns the exit status instead of exiting, so
// that only `main` ends the process.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "constants.hpp"
#include "speech.hpp"

namespace stt {

struct CommandLine {
  std::filesystem::path audioPath;
  bool serverOK = false;
  std::optional<std::string> outPath;
};

// Absent when there is no audio file argument.
std::optional<CommandLine> parseCommandLine(const std::vector<std::string>& args);

// Standard output and standard error; each call's bytes must reach the
// stream before it returns.
class Console {
 public:
  virtual ~Console() = default;
  virtual void out(std::string_view bytes) = 0;
  virtual void err(std::string_view bytes) = 0;
};

struct Waits {
  std::chrono::milliseconds authorisation = kAuthorisationWait;
  std::chrono::milliseconds recognition = kRecognitionWait;
};

// `args` is the command line, program name first. Returns the exit status.
int transcribe(const std::vector<std::string>& args, SpeechPlatform& platform, Console& console,
               Waits waits = {});

}  // namespace stt
