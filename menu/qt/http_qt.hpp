#pragma once
// HTTP to the daemon through QNetworkAccessManager.

#include <QNetworkAccessManager>

#include "platform.hpp"

namespace ombru::menu::qt {

class QtHttp final : public Http {
 public:
  // Replies larger than this count as a failed exchange: a daemon that floods
  // the reply must not be able to exhaust memory before the deadline.
  static constexpr qint64 MAX_BODY = 16 * 1024 * 1024;

  QtHttp();
  bool get(const std::string& url, int deadlineMs,
           std::function<void(std::optional<std::string>)> done) override;
  bool post(const std::string& url, const std::string& body, int deadlineMs,
            std::function<void()> done) override;

 private:
  QNetworkAccessManager nam_;
};

}  // namespace ombru::menu::qt
