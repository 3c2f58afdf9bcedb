// An in-memory speech platform whose answers are scripted by each test. Its
// callbacks come from a thread of its own, as a real recogniser's do, and
// may come after the flow has stopped waiting.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "speech.hpp"

namespace stt::testing {

struct Step {
  std::chrono::milliseconds delay{0};
  std::optional<RecognitionResult> result;
  std::optional<RecognitionError> error;
};

inline Step finalText(std::string text, std::chrono::milliseconds delay = {}) {
  return Step{delay, RecognitionResult{true, std::move(text)}, std::nullopt};
}
inline Step partialText(std::string text) {
  return Step{{}, RecognitionResult{false, std::move(text)}, std::nullopt};
}
inline Step failure(std::string description, std::chrono::milliseconds delay = {}) {
  return Step{delay, std::nullopt, RecognitionError{std::move(description)}};
}

class FakeSpeech final : public SpeechPlatform {
 public:
  // What the platform answers; a status of nullopt is never answered.
  std::optional<AuthorizationStatus> authorization = AuthorizationStatus::authorized;
  std::chrono::milliseconds authorizationDelay{0};
  bool hasRecognizer = true;
  bool available = true;
  bool onDevice = true;
  std::vector<Step> steps;
  // When set, a cancel reports this error at once, before cancel returns.
  std::optional<RecognitionError> errorOnCancel;

  // What the flow did.
  bool authorizationRequested = false;
  std::string locale;
  std::optional<URLRecognitionRequest> request;
  std::atomic<bool> cancelled{false};

  ~FakeSpeech() override {
    for (auto& thread : threads_) thread.join();
  }

  void requestAuthorization(AuthorizationHandler handler) override {
    authorizationRequested = true;
    if (!authorization) return;
    threads_.emplace_back([handler, status = *authorization, delay = authorizationDelay] {
      std::this_thread::sleep_for(delay);
      handler(status);
    });
  }

  std::unique_ptr<SpeechRecognizer> recognizer(std::string_view localeIdentifier) override {
    locale = localeIdentifier;
    if (!hasRecognizer) return nullptr;
    return std::make_unique<Recognizer>(*this);
  }

 private:
  class Task final : public RecognitionTask {
   public:
    Task(FakeSpeech& owner, ResultHandler handler) : owner_(owner), handler_(std::move(handler)) {}
    void cancel() override {
      owner_.cancelled = true;
      if (owner_.errorOnCancel) handler_(std::nullopt, owner_.errorOnCancel);
    }

   private:
    FakeSpeech& owner_;
    ResultHandler handler_;
  };

  class Recognizer final : public SpeechRecognizer {
   public:
    explicit Recognizer(FakeSpeech& owner) : owner_(owner) {}
    bool isAvailable() override { return owner_.available; }
    bool supportsOnDeviceRecognition() override { return owner_.onDevice; }
    std::shared_ptr<RecognitionTask> recognitionTask(URLRecognitionRequest request,
                                                     ResultHandler handler) override {
      owner_.request = request;
      owner_.threads_.emplace_back([steps = owner_.steps, handler] {
        for (const auto& step : steps) {
          std::this_thread::sleep_for(step.delay);
          handler(step.result, step.error);
        }
      });
      return std::make_shared<Task>(owner_, std::move(handler));
    }

   private:
    FakeSpeech& owner_;
  };

  std::vector<std::thread> threads_;
};

}  // namespace stt::testing
