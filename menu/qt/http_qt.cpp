#include "http_qt.hpp"

#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>
#include <memory>

namespace ombru::menu::qt {
namespace {

std::optional<QUrl> address(const std::string& url) {
  QUrl u(QString::fromStdString(url), QUrl::StrictMode);
  if (!u.isValid() || u.host().isEmpty() ||
      (u.scheme() != QLatin1String("http") && u.scheme() != QLatin1String("https")))
    return std::nullopt;
  return u;
}

QNetworkRequest request(const QUrl& url) {
  QNetworkRequest req(url);
  req.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::PreferNetwork);
  // Our own deadline bounds the exchange; Qt's inactivity time-out stays off.
  req.setTransferTimeout(0);
  return req;
}

// True when the reply carries a complete body worth decoding: either a clean
// exchange, or an HTTP error status whose body arrived whole. Transport
// failures (refused, reset, cut off mid-body, aborted) carry none.
bool hasBody(QNetworkReply* reply) {
  const auto error = reply->error();
  if (error == QNetworkReply::NoError) return true;
  if (!reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid()) return false;
  return error >= QNetworkReply::ContentAccessDenied && error != QNetworkReply::ProtocolFailure;
}

// Aborts the reply at the deadline, and when its body outgrows MAX_BODY.
// Returns a flag that tells the completion whether it was cut short.
std::shared_ptr<bool> guard(QNetworkReply* reply, int deadlineMs) {
  auto cut = std::make_shared<bool>(false);
  auto* timer = new QTimer(reply);
  timer->setSingleShot(true);
  timer->setTimerType(Qt::PreciseTimer);
  QObject::connect(timer, &QTimer::timeout, reply, [reply, cut] {
    *cut = true;
    reply->abort();
  });
  timer->start(deadlineMs);
  QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                   [reply, cut](qint64 received, qint64 total) {
                     if (received > QtHttp::MAX_BODY || total > QtHttp::MAX_BODY) {
                       *cut = true;
                       reply->abort();
                     }
                   });
  return cut;
}

}  // namespace

QtHttp::QtHttp() {
  // The daemon is on loopback: never route it through a proxy from the
  // environment.
  nam_.setProxy(QNetworkProxy::NoProxy);
  nam_.setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
}

bool QtHttp::get(const std::string& url, int deadlineMs,
                 std::function<void(std::optional<std::string>)> done) {
  const auto u = address(url);
  if (!u) return false;
  QNetworkReply* reply = nam_.get(request(*u));
  auto cut = guard(reply, deadlineMs);
  QObject::connect(reply, &QNetworkReply::finished, reply,
                   [reply, cut, done = std::move(done)]() mutable {
                     reply->deleteLater();
                     if (!done) return;
                     auto callback = std::move(done);
                     done = nullptr;
                     if (*cut || !hasBody(reply)) return callback(std::nullopt);
                     const QByteArray body = reply->readAll();
                     callback(std::string(body.constData(), static_cast<size_t>(body.size())));
                   });
  return true;
}

bool QtHttp::post(const std::string& url, const std::string& body, int deadlineMs,
                  std::function<void()> done) {
  const auto u = address(url);
  if (!u) return false;
  QNetworkRequest req = request(*u);
  req.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
  QNetworkReply* reply =
      nam_.post(req, QByteArray(body.data(), static_cast<qsizetype>(body.size())));
  guard(reply, deadlineMs);
  QObject::connect(reply, &QNetworkReply::finished, reply,
                   [reply, done = std::move(done)]() mutable {
                     reply->deleteLater();
                     if (!done) return;
                     auto callback = std::move(done);
                     done = nullptr;
                     callback();
                   });
  return true;
}

}  // namespace ombru::menu::qt
