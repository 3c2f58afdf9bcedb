#include "qt_support.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QKeySequence>
#include <QThread>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>

namespace ombru::menu::qt::test {

QApplication& app() {
  static int argc = 1;
  static char name[] = "ombru-menu-test";
  static char* argv[] = {name, nullptr};
  static QApplication* instance = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    auto* a = new QApplication(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return a;
  }();
  return *instance;
}

bool waitUntil(const std::function<bool()>& done, int ms) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() >= ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(2);
  }
  return true;
}

void spin(int ms) {
  waitUntil([] { return false; }, ms);
}

Rig::Rig(std::string base) {
  app();
  controller = std::make_unique<Controller>(deps(std::move(base)));
}

Deps Rig::deps(std::string base) {
  Deps d;
  d.base = std::move(base);
  d.http = http;
  d.timers = timers;
  d.shell = shell;
  d.service = std::make_shared<FakeService>();
  d.opener = opener;
  d.home = "/home/some one";
  d.quit = [this] { ++quits; };
  return d;
}

std::vector<QAction*> allActions(QMenu* menu) {
  std::vector<QAction*> out;
  for (QAction* a : menu->actions()) {
    out.push_back(a);
    if (a->menu()) {
      auto inner = allActions(a->menu());
      out.insert(out.end(), inner.begin(), inner.end());
    }
  }
  return out;
}

QAction* findAction(QMenu* menu, const QString& text) {
  for (QAction* a : allActions(menu))
    if (!a->isSeparator() && a->text() == text) return a;
  return nullptr;
}

void expectRendered(QMenu* menu, const Menu& items, const std::string& where) {
  const auto acts = menu->actions();
  ASSERT_EQ(static_cast<size_t>(acts.size()), items.size()) << where;
  for (size_t i = 0; i < items.size(); ++i) {
    const Item& it = items[i];
    QAction* a = acts[static_cast<qsizetype>(i)];
    const std::string at = where + "/" + std::to_string(i) + " " + it.title;
    ASSERT_EQ(a->isSeparator(), it.separator) << at;
    if (it.separator) continue;
    const QString title = QString::fromStdString(it.title);
    // The daemon's text is shown literally: Qt's mnemonic marker is escaped.
    EXPECT_EQ(a->text(), QString(title).replace("&", "&&")) << at;
    EXPECT_EQ(a->isEnabled(), it.enabled) << at;
    EXPECT_EQ(a->isChecked(), it.checked) << at;
    EXPECT_EQ(a->isCheckable(), checkable(it)) << at;
    EXPECT_EQ(a->shortcut().isEmpty(), it.keyEquivalent.empty()) << at;
    if (!it.keyEquivalent.empty()) {
      EXPECT_EQ(a->shortcut(), QKeySequence(QString::fromStdString("Ctrl+" + it.keyEquivalent)))
          << at;
    }
    EXPECT_EQ(a->font().weight() == QFont::DemiBold, it.header) << at;
    ASSERT_EQ(a->menu() != nullptr, it.hasSubmenu()) << at;
    if (a->menu()) expectRendered(a->menu(), it.submenu, at);
  }
}

namespace {

// Starts args[0] with `fd` of the child (standard output or error) on a
// pipe, the other one on /dev/null, and reads its first line from there;
// the child's pid, or -1. The child is ended with this process, also when
// a test crashes before it could stop it.
pid_t spawnReadingLine(std::vector<std::string> args, int fd, std::string& line) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int out[2];
  if (pipe(out) != 0) return -1;
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    dup2(out[1], fd);
    dup2(null, fd == STDOUT_FILENO ? STDERR_FILENO : STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(null);
  close(out[1]);
  char c;
  while (pid > 0 && read(out[0], &c, 1) == 1 && c != '\n') line += c;
  close(out[0]);
  return pid > 0 ? pid : -1;
}

void stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
}

}  // namespace

DevDaemon::DevDaemon(std::vector<std::string> flags) {
  char dir[] = "/tmp/ombru-menu-test.XXXXXX";
  if (!mkdtemp(dir)) return;
  log_ = std::string(dir) + "/requests.log";
  std::vector<std::string> args = {OMBRU_DEV_DAEMON, "--port", "0", "--log", log_};
  args.insert(args.end(), flags.begin(), flags.end());
  // "ombru-dev-daemon listening on 127.0.0.1:<port>"
  std::string line;
  pid_ = spawnReadingLine(std::move(args), STDERR_FILENO, line);
  const auto colon = line.rfind(':');
  if (line.find("listening on 127.0.0.1:") != std::string::npos && colon != std::string::npos)
    port_ = std::atoi(line.c_str() + colon + 1);
}

DevDaemon::~DevDaemon() {
  stop(pid_);
  if (!log_.empty()) {
    std::remove(log_.c_str());
    std::remove(log_.substr(0, log_.rfind('/')).c_str());
  }
}

std::vector<DevDaemon::Request> DevDaemon::requests() const {
  std::vector<Request> out;
  std::ifstream in(log_);
  std::string line;
  while (std::getline(in, line)) {
    auto j = nlohmann::json::parse(line, nullptr, false);
    if (!j.is_object()) continue;
    Request r;
    r.method = j.value("method", "");
    r.path = j.value("path", "");
    if (j.contains("body") && !j["body"].is_null())
      r.body = j["body"].is_string() ? j["body"].get<std::string>() : j["body"].dump();
    out.push_back(r);
  }
  return out;
}

size_t DevDaemon::count(const std::string& method, const std::string& path) const {
  size_t n = 0;
  for (const auto& r : requests())
    if (r.method == method && r.path == path) ++n;
  return n;
}

int closedPort() {
  // Bind a port, learn its number, close it: nobody listens there now.
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

PrivateBus& PrivateBus::get() {
  static PrivateBus bus;
  return bus;
}

PrivateBus::PrivateBus() {
  std::string line;
  pid_ = spawnReadingLine({"/usr/bin/dbus-daemon", "--session", "--nofork", "--print-address=1"},
                          STDOUT_FILENO, line);
  if (pid_ <= 0 || line.empty()) return;
  address_ = QString::fromStdString(line);
  qputenv("DBUS_SESSION_BUS_ADDRESS", address_.toUtf8());
}

PrivateBus::~PrivateBus() {
  stop(pid_);
}

QDBusConnection PrivateBus::connect(const QString& name) const {
  app();  // a connection dispatches through the application's event loop
  return QDBusConnection::connectToBus(address_, name);
}

}  // namespace ombru::menu::qt::test
