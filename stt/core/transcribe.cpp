#include "transcribe.hpp"

#include <memory>
#include <mutex>
#include <semaphore>
#include <system_error>
#include <utility>

#include "output.hpp"
#include "trim.hpp"

namespace stt {
namespace {

// What the platform's callbacks write. It is shared with the callbacks, so a
// callback that comes after a time-out, or after the run has ended, still
// writes to live memory; the mutex keeps those late writes from racing the
// main flow's reads.
struct Shared {
  std::mutex lock;
  bool granted = false;
  std::string transcript;
  std::optional<RecognitionError> failure;
  std::counting_semaphore<> authSem{0};
  std::counting_semaphore<> done{0};
};

class Run {
 public:
  Run(Console& console, std::optional<std::string> outPath)
      : console_(console), outPath_(std::move(outPath)) {}

  int fail(int status, const std::string& message) {
    console_.err(message + "\n");
    if (outPath_) writeFileAtomically(*outPath_, std::string(kFailureMarker) + message);
    return status;
  }

  void emit(const std::string& text) {
    if (outPath_) {
      writeFileAtomically(*outPath_, text);
    } else {
      console_.out(text + "\n");
    }
  }

 private:
  Console& console_;
  std::optional<std::string> outPath_;
};

}  // namespace

std::optional<CommandLine> parseCommandLine(const std::vector<std::string>& args) {
  if (args.size() < 2) return std::nullopt;
  CommandLine line;
  std::error_code error;
  line.audioPath = std::filesystem::absolute(args[1], error);
  if (error) line.audioPath = args[1];
  for (const auto& word : args) {
    if (word == kServerOkFlag) line.serverOK = true;
  }
  if (args.size() >= 3 && !args[2].starts_with(kFlagPrefix)) line.outPath = args[2];
  return line;
}

int transcribe(const std::vector<std::string>& args, SpeechPlatform& platform, Console& console,
               Waits waits) {
  auto parsed = parseCommandLine(args);
  if (!parsed) {
    console.err(kUsage);
    return kUsageError;
  }
  Run run(console, parsed->outPath);
  auto shared = std::make_shared<Shared>();

  platform.requestAuthorization([shared](AuthorizationStatus status) {
    {
      std::lock_guard guard(shared->lock);
      shared->granted = status == AuthorizationStatus::authorized;
    }
    shared->authSem.release();
  });
  (void)shared->authSem.try_acquire_for(waits.authorisation);
  bool granted;
  {
    std::lock_guard guard(shared->lock);
    granted = shared->granted;
  }
  if (!granted) return run.fail(kNotAuthorised, std::string(kNotAuthorisedMessage));

  auto recognizer = platform.recognizer(kLocale);
  if (!recognizer) return run.fail(kNoRecognizer, std::string(kNoRecognizerMessage));
  if (!recognizer->isAvailable())
    return run.fail(kRecognizerUnavailable, std::string(kRecognizerUnavailableMessage));

  URLRecognitionRequest request;
  request.audioPath = parsed->audioPath;
  request.shouldReportPartialResults = false;
  request.addsPunctuation = true;
  request.recognitionWait = waits.recognition;
  if (recognizer->supportsOnDeviceRecognition()) {
    request.requiresOnDeviceRecognition = true;
  } else if (!parsed->serverOK) {
    return run.fail(kOnDeviceUnavailable, std::string(kOnDeviceUnavailableMessage));
  }

  auto task = recognizer->recognitionTask(
      std::move(request),
      [shared](std::optional<RecognitionResult> result, std::optional<RecognitionError> error) {
        if (error) {
          {
            std::lock_guard guard(shared->lock);
            shared->failure = std::move(error);
          }
          shared->done.release();
        } else if (result && result->isFinal) {
          {
            std::lock_guard guard(shared->lock);
            shared->transcript = std::move(result->formattedString);
          }
          shared->done.release();
        }
      });
  if (!shared->done.try_acquire_for(waits.recognition) && task) task->cancel();

  std::string transcript;
  std::optional<RecognitionError> failure;
  {
    std::lock_guard guard(shared->lock);
    transcript = shared->transcript;
    failure = shared->failure;
  }
  if (transcript.empty() && failure) {
    return run.fail(kRecognitionFailed,
                    std::string(kRecognitionFailedPrefix) + failure->localizedDescription);
  }
  run.emit(trimWhitespaceAndNewlines(transcript));
  return kTranscribed;
}

}  // namespace stt
