// The Linux and Qt backends on their own: the login shell, the service
// words, the single-instance rule, the mark's drawing and HTTP on the wire.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QImage>
#include <QPalette>
#include <cstdlib>
#include <fstream>

#include "core/display.hpp"
#include "http_qt.hpp"
#include "mark_qt.hpp"
#include "process.hpp"
#include "qt_support.hpp"
#include "single_instance.hpp"
#include "sni_qt.hpp"

namespace ombru::menu::qt::test {
namespace {

TEST(MenuQtShell, RunsTheJoinedWordsInALoginShellAndReturnsTheStatus) {
  EXPECT_EQ(joinWords({"launchctl", "kickstart", "-k", "gui/501/x"}),
            "launchctl kickstart -k gui/501/x");
  EXPECT_EQ(joinWords({}), "");
  EXPECT_EQ(shell({"exit", "7"}), 7);
  EXPECT_EQ(shell({"kill", "-TERM", "$$"}), 128 + SIGTERM);

  char dir[] = "/tmp/ombru-shell.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string out = std::string(dir) + "/out";
  // Unquoted words: the shell splits, expands "~" and reads its login
  // profile, as it must for "~/.local/bin/ombru".
  ASSERT_EQ(shell({"echo", "~", "$0", ">", out}), 0);
  std::ifstream in(out);
  std::string home, argv0;
  in >> home >> argv0;
  EXPECT_EQ(home, std::getenv("HOME"));
  EXPECT_EQ(argv0, "/bin/bash");
  std::remove(out.c_str());
  rmdir(dir);
}

TEST(MenuQtShell, TheSystemdUserManagerStartsAndRestartsTheDaemonsUnit) {
  SystemdUserService service;
  EXPECT_EQ(joinWords(service.startWords()), "systemctl --user start dev.ombru.voice");
  EXPECT_EQ(joinWords(service.restartWords()), "systemctl --user restart dev.ombru.voice");
}

TEST(MenuQtSingleInstance, TheOlderCopyIsTheOneThatStartedFirstWhateverItsPid) {
  EXPECT_TRUE(olderThan({900, 100}, {1000, 200}));
  // Ids wrapped: the copy with the higher id has run longer.
  EXPECT_TRUE(olderThan({31000, 100}, {12, 200}));
  EXPECT_FALSE(olderThan({12, 200}, {31000, 100}));
  // Started in the same tick: the id decides, so exactly one of two stays.
  EXPECT_TRUE(olderThan({5, 100}, {6, 100}));
  EXPECT_FALSE(olderThan({6, 100}, {5, 100}));
  EXPECT_FALSE(olderThan({5, 100}, {5, 100}));
}

// A copy of this test program started with OMBRU_PROBE set never runs a
// test: "hold" keeps it alive as the older copy, "ask" exits with 10 when an
// older copy runs and 11 otherwise.
const int probe = [] {
  const char* mode = std::getenv("OMBRU_PROBE");
  if (!mode) return 0;
  if (std::string(mode) == "hold") pause();
  _exit(olderCopyRunning() ? 10 : 11);
}();

pid_t spawnProbe(const std::string& exe, const char* mode) {
  const pid_t pid = fork();
  if (pid == 0) {
    setenv("OMBRU_PROBE", mode, 1);
    execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

int exitStatus(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A private copy of this test program under a unique name. Other processes
// running this test program (ctest runs its cases side by side) run another
// file, so only the probes started from the copy count as copies.
class PrivateCopy {
 public:
  PrivateCopy() {
    char dir[] = "/tmp/ombru-instance.XXXXXX";
    if (!mkdtemp(dir)) return;
    dir_ = dir;
    exe_ = dir_ + "/ombru-menu";
    std::ifstream in("/proc/self/exe", std::ios::binary);
    std::ofstream out(exe_, std::ios::binary);
    out << in.rdbuf();
    out.close();
    chmod(exe_.c_str(), 0700);
  }
  ~PrivateCopy() {
    std::remove(exe_.c_str());
    rmdir(dir_.c_str());
  }
  const std::string& exe() const { return exe_; }

 private:
  std::string dir_, exe_;
};

TEST(MenuQtSingleInstance, ALaterCopyOfTheSameExecutableSeesTheOlderOne) {
  (void)probe;
  PrivateCopy copy, other;
  ASSERT_FALSE(copy.exe().empty());
  ASSERT_FALSE(other.exe().empty());

  EXPECT_EQ(exitStatus(spawnProbe(copy.exe(), "ask")), 11) << "alone, a copy stays";
  const pid_t older = spawnProbe(copy.exe(), "hold");
  // The probe has not necessarily started yet; ask until it counts, as the
  // held one never ends by itself.
  int seen = 11;
  for (int i = 0; i < 250 && seen == 11; ++i) {
    seen = exitStatus(spawnProbe(copy.exe(), "ask"));
    if (seen == 11) usleep(20 * 1000);
  }
  EXPECT_EQ(seen, 10) << "a later copy leaves";
  EXPECT_EQ(exitStatus(spawnProbe(other.exe(), "ask")), 11)
      << "the same program under another file is not a copy";
  kill(older, SIGTERM);
  exitStatus(older);
  EXPECT_EQ(exitStatus(spawnProbe(copy.exe(), "ask")), 11)
      << "a copy that has ended does not count";
}

QImage render(const QIcon& icon, int size, qreal scale) {
  return icon.pixmap(QSize(size, size), scale).toImage().convertToFormat(QImage::Format_ARGB32);
}

TEST(MenuQtMark, IsDrawnFromTheGeometryInThePanelTextColourAtEveryScale) {
  app();
  QPalette palette = QGuiApplication::palette();
  palette.setColor(QPalette::WindowText, QColor(250, 250, 250));  // a dark panel's text
  QGuiApplication::setPalette(palette);
  const QIcon icon = markIcon(1.0);
  for (qreal scale : {1.0, 2.0}) {
    SCOPED_TRACE(scale);
    const QImage img = render(icon, 64, scale);
    ASSERT_EQ(img.width(), static_cast<int>(64 * scale)) << "device pixels, not points";
    auto at = [&](double x, double yUp) {
      // Grid units, origin at the lower left, y up.
      return img.pixelColor(static_cast<int>(x * scale), static_cast<int>((64 - yUp) * scale));
    };
    EXPECT_EQ(at(32, 56).alpha(), 255) << "on the outline's top edge";
    EXPECT_EQ(at(32, 56).red(), 250) << "in the text colour";
    EXPECT_EQ(at(8, 32).alpha(), 255) << "on the left edge";
    EXPECT_EQ(at(32, 32).alpha(), 0) << "the outline is not filled";
    EXPECT_EQ(at(49, 53).alpha(), 255) << "upper square";
    EXPECT_EQ(at(49, 11).alpha(), 255) << "lower square";
    EXPECT_EQ(at(4, 60).alpha(), 0);
    EXPECT_EQ(at(49, 32).alpha(), 0) << "right of the plus, between the squares";
  }
  // The stroke is 5 units wide: at 64 px it covers y from 53.5 to 58.5.
  const QImage img = render(icon, 64, 1.0);
  EXPECT_EQ(img.pixelColor(32, 64 - 58).alpha(), 255);
  EXPECT_EQ(img.pixelColor(32, 64 - 60).alpha(), 0);
  QGuiApplication::setPalette(QPalette());
}

TEST(MenuQtMark, EachLookIsPaintedWithItsOpacity) {
  app();
  for (double alpha : {0.25, 0.35, 1.0}) {
    const QImage img = render(markIcon(alpha), 64, 1.0);
    EXPECT_NEAR(img.pixelColor(49, 64 - 53).alphaF(), alpha, 0.01);
  }
  EXPECT_EQ(display(State{}).alpha, 0.25);
}

// At the sizes panels ask for, the mark sits on whole pixels: most of what it
// covers is covered fully, where the plain scaled drawing smears its 5-unit
// stroke over two pixels at 16 px. Every look keeps its opacity there.
TEST(MenuQtMark, IsCrispAtEveryPanelSizeAndKeepsEachLooksOpacity) {
  app();
  for (int side : {16, 22, 24, 32, 48, 32, 44, 48, 64, 96}) {
    SCOPED_TRACE(side);
    const QImage img = markImage(side, Qt::black, 1.0);
    int covered = 0, full = 0;
    for (int y = 0; y < side; ++y)
      for (int x = 0; x < side; ++x) {
        const int a = qAlpha(img.pixel(x, y));
        covered += a > 0;
        full += a == 255;
      }
    EXPECT_GE(full * 10, covered * 7) << full << " of " << covered << " fully opaque";
    EXPECT_GT(covered, side) << "the mark is there at all";
    for (double alpha : {0.25, 0.35}) {
      const QImage look = markImage(side, Qt::black, alpha);
      int strongest = 0;
      for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) strongest = std::max(strongest, qAlpha(look.pixel(x, y)));
      EXPECT_NEAR(strongest / 255.0, alpha, 0.01);
    }
  }
}

// Shells that draw the menu with GTK parse the key by GTK's name.
TEST(MenuQtMark, ShortcutKeysCarryTheNamesGtkParses) {
  EXPECT_EQ(dbusmenuKey(QStringLiteral(",")), QStringLiteral("comma"));
  EXPECT_EQ(dbusmenuKey(QStringLiteral("M")), QStringLiteral("m"));
  EXPECT_EQ(dbusmenuKey(QStringLiteral("Esc")), QStringLiteral("Escape"));
  EXPECT_EQ(dbusmenuKey(QStringLiteral("F5")), QStringLiteral("F5"));
}

// A one-shot loopback server that records the raw request and answers with
// whatever `respond` writes.
class RawServer {
 public:
  explicit RawServer(std::function<void(int)> respond) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(fd_, 4);
    socklen_t len = sizeof addr;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this, respond = std::move(respond)] {
      const int c = accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      std::string req;
      char buf[4096];
      while (true) {
        const auto head = req.find("\r\n\r\n");
        if (head != std::string::npos) {
          const auto cl = req.find("Content-Length: ");
          const size_t want = cl == std::string::npos ? 0 : std::stoul(req.substr(cl + 16));
          if (req.size() >= head + 4 + want) break;
        }
        const ssize_t n = read(c, buf, sizeof buf);
        if (n <= 0) break;
        req.append(buf, static_cast<size_t>(n));
      }
      {
        std::lock_guard lock(mutex_);
        request_ = req;
      }
      respond(c);
      close(c);
    });
  }
  ~RawServer() {
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    thread_.join();
  }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::string request() const {
    std::lock_guard lock(mutex_);
    return request_;
  }

 private:
  int fd_ = -1, port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::string request_;
};

void reply(int fd, const std::string& text) {
  (void)!write(fd, text.data(), text.size());
}

TEST(MenuQtHttp, PostSendsTheBodyAsJsonUnchanged) {
  app();
  RawServer server([](int fd) { reply(fd, "HTTP/1.1 500 Oops\r\nContent-Length: 0\r\n\r\n"); });
  QtHttp http;
  bool done = false;
  const std::string body = R"({"key":"k1","minutes":30,"on":true})";
  ASSERT_TRUE(http.post(server.base() + "/loop", body, 3000, [&] { done = true; }));
  ASSERT_TRUE(waitUntil([&] { return done; }, 3000)) << "an error status ends like a success";
  const std::string req = server.request();
  EXPECT_EQ(req.rfind("POST /loop HTTP/1.1\r\n", 0), 0u) << req;
  EXPECT_NE(req.find("\r\nContent-Type: application/json\r\n"), std::string::npos) << req;
  EXPECT_EQ(req.substr(req.find("\r\n\r\n") + 4), body);
}

TEST(MenuQtHttp, AnErrorStatusStillDeliversItsBodyButACutOffOneDoesNot) {
  app();
  QtHttp http;
  {
    RawServer server([](int fd) {
      reply(fd, "HTTP/1.1 500 Oops\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}");
    });
    std::optional<std::optional<std::string>> got;
    ASSERT_TRUE(http.get(server.base() + "/state", 2500, [&](auto b) { got = b; }));
    ASSERT_TRUE(waitUntil([&] { return got.has_value(); }, 3000));
    EXPECT_EQ(*got, std::optional<std::string>("{}"));
  }
  {
    RawServer server([](int fd) {
      reply(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"muted\":true}");
    });
    std::optional<std::optional<std::string>> got;
    ASSERT_TRUE(http.get(server.base() + "/state", 2500, [&](auto b) { got = b; }));
    ASSERT_TRUE(waitUntil([&] { return got.has_value(); }, 3000));
    EXPECT_EQ(*got, std::nullopt) << "a body cut short is no body";
  }
}

TEST(MenuQtHttp, AFloodingReplyIsCutOffInsteadOfFillingMemory) {
  app();
  RawServer server([](int fd) {
    const qint64 size = QtHttp::MAX_BODY * 4;
    reply(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n{\"a\":\"");
    const std::string chunk(1 << 16, 'x');
    for (qint64 sent = 0; sent < size; sent += chunk.size())
      if (write(fd, chunk.data(), chunk.size()) <= 0) break;
  });
  QtHttp http;
  std::optional<std::optional<std::string>> got;
  ASSERT_TRUE(http.get(server.base() + "/state", 2500, [&](auto b) { got = b; }));
  ASSERT_TRUE(waitUntil([&] { return got.has_value(); }, 3000));
  EXPECT_EQ(*got, std::nullopt);
}

TEST(MenuQtHttp, AddressesThatCannotBeFormedAreRefusedAtOnce) {
  app();
  QtHttp http;
  bool called = false;
  EXPECT_FALSE(http.get("not an address", 2500, [&](auto) { called = true; }));
  EXPECT_FALSE(http.post("127.0.0.1:8765/mute", "{}", 3000, [&] { called = true; }));
  EXPECT_FALSE(called);
}

}  // namespace
}  // namespace ombru::menu::qt::test
