#pragma once
// Shared pieces of the tray application's tests: one offscreen QApplication,
// event-loop waits, fakes for the platform seams, and the stand-in daemon.

#include <QAction>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QMenu>
#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "controller_qt.hpp"
#include "platform.hpp"

namespace ombru::menu::qt::test {

// The application object, made on first use (test discovery never needs it).
QApplication& app();

// Runs the event loop until `done` holds or `ms` have passed; returns `done`.
bool waitUntil(const std::function<bool()>& done, int ms);
// Runs the event loop for `ms`.
void spin(int ms);

class FakeHttp final : public Http {
 public:
  struct Get {
    std::string url;
    int deadlineMs;
    std::function<void(std::optional<std::string>)> done;
  };
  struct Post {
    std::string url, body;
    int deadlineMs;
    std::function<void()> done;
  };
  std::vector<Get> gets;
  std::vector<Post> posts;

  bool get(const std::string& url, int deadlineMs,
           std::function<void(std::optional<std::string>)> done) override {
    gets.push_back({url, deadlineMs, std::move(done)});
    return true;
  }
  bool post(const std::string& url, const std::string& body, int deadlineMs,
            std::function<void()> done) override {
    posts.push_back({url, body, deadlineMs, std::move(done)});
    return true;
  }
  // Ends GET number i with `body` (none: a failed exchange).
  void answer(size_t i, std::optional<std::string> body) {
    auto done = std::move(gets.at(i).done);
    gets.at(i).done = nullptr;
    if (done) done(std::move(body));
  }
  void answerLast(std::optional<std::string> body) { answer(gets.size() - 1, std::move(body)); }
  void finishPost(size_t i) {
    auto done = std::move(posts.at(i).done);
    posts.at(i).done = nullptr;
    if (done) done();
  }
};

class FakeTimers final : public Timers {
 public:
  struct Timer {
    int ms;
    std::function<void()> fn;
  };
  std::vector<Timer> repeating, once;
  void every(int ms, std::function<void()> fn) override {
    repeating.push_back({ms, std::move(fn)});
  }
  void after(int ms, std::function<void()> fn) override { once.push_back({ms, std::move(fn)}); }
  void tick() {
    for (auto& t : repeating) t.fn();
  }
  void fireOnce(size_t i) {
    auto fn = std::move(once.at(i).fn);
    once.at(i).fn = nullptr;
    if (fn) fn();
  }
};

class FakeShell final : public Shell {
 public:
  struct Run {
    std::vector<std::string> words;
    std::thread::id thread;
  };
  int run(const std::vector<std::string>& words) override {
    std::lock_guard lock(mutex_);
    runs_.push_back({words, std::this_thread::get_id()});
    count_.fetch_add(1);
    return 0;
  }
  std::vector<Run> runs() const {
    std::lock_guard lock(mutex_);
    return runs_;
  }
  int count() const { return count_.load(); }

 private:
  mutable std::mutex mutex_;
  std::vector<Run> runs_;
  std::atomic<int> count_{0};
};

class FakeOpener final : public Opener {
 public:
  std::vector<std::string> opened;
  void open(const std::string& path) override { opened.push_back(path); }
};

class FakeService final : public ServiceManager {
 public:
  std::vector<std::string> startWords() const override { return {"start-words"}; }
  std::vector<std::string> restartWords() const override { return {"restart-words"}; }
};

// A controller wired to fakes only.
struct Rig {
  std::shared_ptr<FakeHttp> http = std::make_shared<FakeHttp>();
  std::shared_ptr<FakeTimers> timers = std::make_shared<FakeTimers>();
  std::shared_ptr<FakeShell> shell = std::make_shared<FakeShell>();
  std::shared_ptr<FakeOpener> opener = std::make_shared<FakeOpener>();
  int quits = 0;
  std::unique_ptr<Controller> controller;

  explicit Rig(std::string base = "http://127.0.0.1:1");
  Deps deps(std::string base);
};

// The menu's entries (not separators) whose text is `text`, searched depth
// first through every submenu.
QAction* findAction(QMenu* menu, const QString& text);
// Every action of a menu tree, depth first, submenus after their entry.
std::vector<QAction*> allActions(QMenu* menu);
// Expects `menu` to show `items` item for item, depth first: kind, text,
// enabled flag, check mark, shortcut, header font and submenus.
void expectRendered(QMenu* menu, const Menu& items, const std::string& where = "");

// The stand-in daemon on a free loopback port, stopped by pid at the end.
class DevDaemon {
 public:
  struct Request {
    std::string method, path, body;  // body: compact JSON text, or "" for none
  };
  explicit DevDaemon(std::vector<std::string> flags = {});
  ~DevDaemon();
  DevDaemon(const DevDaemon&) = delete;
  DevDaemon& operator=(const DevDaemon&) = delete;

  bool ok() const { return port_ > 0; }
  int port() const { return port_; }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::vector<Request> requests() const;
  size_t count(const std::string& method, const std::string& path) const;

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::string log_;
};

// A loopback port with nobody listening on it.
int closedPort();

// A private session bus (dbus-daemon) for this process, started on first
// use, made the session bus of everything that connects later, and stopped
// by pid at exit.
class PrivateBus {
 public:
  static PrivateBus& get();
  ~PrivateBus();
  bool ok() const { return !address_.isEmpty(); }
  // A further client connection of its own; dropped when `name` is
  // disconnected (QDBusConnection::disconnectFromBus).
  QDBusConnection connect(const QString& name) const;

 private:
  PrivateBus();
  pid_t pid_ = -1;
  QString address_;
};

// Keeps every D-Bus message it is connected to, in order.
class BusRecorder final : public QObject {
  Q_OBJECT

 public:
  BusRecorder() { qRegisterMetaType<QDBusMessage>(); }  // known before any connect
  std::vector<QDBusMessage> got;
 public Q_SLOTS:
  void take(const QDBusMessage& message) { got.push_back(message); }
};

}  // namespace ombru::menu::qt::test
