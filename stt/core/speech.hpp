// The speech recogniser as the transcription flow sees it. A backend
// implements these; the flow relies on nothing else.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "constants.hpp"

namespace stt {

// Only `authorized` lets the run go on.
enum class AuthorizationStatus { notDetermined = 0, denied = 1, restricted = 2, authorized = 3 };

struct RecognitionResult {
  bool isFinal = false;
  std::string formattedString;  // best transcription of this result
};

struct RecognitionError {
  std::string localizedDescription;
};

// Called by the recogniser, from a thread of its own, one or more times.
using ResultHandler =
    std::function<void(std::optional<RecognitionResult>, std::optional<RecognitionError>)>;

using AuthorizationHandler = std::function<void(AuthorizationStatus)>;

struct URLRecognitionRequest {
  std::filesystem::path audioPath;
  bool shouldReportPartialResults = true;
  bool addsPunctuation = false;
  bool requiresOnDeviceRecognition = false;
  // How long the caller waits for the result; the engine may choose how
  // thoroughly to search by it.
  std::chrono::milliseconds recognitionWait = kRecognitionWait;
};

class RecognitionTask {
 public:
  virtual ~RecognitionTask() = default;
  // Stops a recognition; the handler may or may not be called afterwards.
  virtual void cancel() = 0;
};

class SpeechRecognizer {
 public:
  virtual ~SpeechRecognizer() = default;
  virtual bool isAvailable() = 0;
  virtual bool supportsOnDeviceRecognition() = 0;
  // Starts the recognition; never null. The handler and whatever it captures
  // are kept alive by the backend for as long as it may still call them.
  virtual std::shared_ptr<RecognitionTask> recognitionTask(URLRecognitionRequest request,
                                                           ResultHandler handler) = 0;
};

class SpeechPlatform {
 public:
  virtual ~SpeechPlatform() = default;
  // Calls the handler once, later, on another thread.
  virtual void requestAuthorization(AuthorizationHandler handler) = 0;
  // Null when no recogniser exists for the locale.
  virtual std::unique_ptr<SpeechRecognizer> recognizer(std::string_view localeIdentifier) = 0;
};

}  // namespace stt
