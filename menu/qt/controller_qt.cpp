#include "controller_qt.hpp"

#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QDir>
#include <thread>

#include "http_qt.hpp"
#include "mark_qt.hpp"
#include "opener_qt.hpp"
#include "process.hpp"
#include "timers_qt.hpp"

namespace ombru::menu::qt {
namespace {

int ms(double seconds) {
  return static_cast<int>(seconds * 1000.0 + 0.5);
}

}  // namespace

Deps Deps::real(std::string base) {
  Deps d;
  d.base = std::move(base);
  d.http = std::make_shared<QtHttp>();
  d.timers = std::make_shared<QtTimers>();
  d.shell = std::make_shared<LoginShell>();
  d.service = std::make_shared<SystemdUserService>();
  d.opener = std::make_shared<DesktopOpener>();
  d.home = QDir::homePath().toStdString();
  d.quit = [] { QCoreApplication::quit(); };
  return d;
}

Controller::Controller(Deps deps)
    : deps_(std::move(deps)),
      tray_(new QSystemTrayIcon(this)),
      menu_(new QMenu()),
      renderer_([this](const Item& item) { choose(item); }) {}

Controller::~Controller() {
  qApp->removeEventFilter(this);
  tray_->setContextMenu(nullptr);
  delete menu_;
}

QIcon Controller::icon(double alpha) {
  auto it = icons_.find(alpha);
  if (it == icons_.end()) it = icons_.emplace(alpha, markIcon(alpha)).first;
  return it->second;
}

void Controller::start() {
  tray_->setIcon(icon(1.0));
  shownAlpha_ = 1.0;
  tray_->setToolTip(
      QString::fromUtf8(INITIAL_TOOL_TIP.data(), static_cast<qsizetype>(INITIAL_TOOL_TIP.size())));
  QObject::connect(menu_, &QMenu::aboutToShow, this, [this] { build(); });
  tray_->setContextMenu(menu_);
  // A plain click opens the menu as well, as a status item's click does; Qt
  // opens it on the context click by itself.
  QObject::connect(tray_, &QSystemTrayIcon::activated, this,
                   [this](QSystemTrayIcon::ActivationReason reason) {
                     if (reason == QSystemTrayIcon::Trigger && !menu_->isVisible())
                       menu_->popup(QCursor::pos());
                   });
  // The mark takes the palette's text colour when it is drawn; a new palette
  // (a dark theme switched on) must reach trays that hold a rendered copy.
  qApp->installEventFilter(this);
  tray_->show();
  refresh();
  deps_.timers->every(ms(POLL_INTERVAL), [this] { refresh(); });
}

bool Controller::eventFilter(QObject* watched, QEvent* event) {
  if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange)
    tray_->setIcon(icon(shownAlpha_));
  return QObject::eventFilter(watched, event);
}

void Controller::refresh() {
  const bool sent = deps_.http->get(
      deps_.base + std::string(STATE_PATH), ms(GET_TIMEOUT),
      [this](std::optional<std::string> body) { deliver(body ? decodeState(*body) : State{}); });
  if (!sent) deliver(State{});
}

void Controller::deliver(State state) {
  state_ = std::move(state);
  const Display look = display(state_);
  if (look.alpha != shownAlpha_) {
    tray_->setIcon(icon(look.alpha));
    shownAlpha_ = look.alpha;
  }
  const QString tip = QString::fromStdString(look.toolTip);
  if (tray_->toolTip() != tip) tray_->setToolTip(tip);
  // A menu never opened holds nothing and stays unbuilt; once built it
  // follows every poll.
  if (!menu_->actions().isEmpty()) build();
}

void Controller::build() {
  ++builds_;
  renderer_.render(menu_, buildMenu(state_));
}

void Controller::send(const Command& command) {
  deps_.http->post(deps_.base + command.path, command.body, ms(POST_TIMEOUT),
                   [this] { refresh(); });
}

void Controller::choose(const Item& item) {
  const std::string& a = item.action;
  if (auto command = commandFor(a, item.represented, item.checked, state_)) return send(*command);
  if (a == actions::startDaemon) return startDaemon();
  if (a == actions::restart) return restart();
  if (a == actions::openBrain) return openBrain();
  if (a == actions::openLog) return openLog();
  if (a == actions::openConfig) return openConfig();
  if (a == actions::quit) return quit();
}

void Controller::toggleMute() {
  if (auto command = commandFor(actions::toggleMute, {}, false, state_)) send(*command);
}

void Controller::startDaemon() {
  deps_.shell->run(deps_.service->startWords());
  deps_.timers->after(ms(START_REFRESH_DELAY), [this] { refresh(); });
}

void Controller::restart() {
  deps_.shell->run(deps_.service->restartWords());
  deps_.timers->after(ms(RESTART_REFRESH_DELAY), [this] { refresh(); });
}

void Controller::openBrain() {
  std::vector<std::string> words(BRAIN_WORDS.begin(), BRAIN_WORDS.end());
  // Nothing waits for it: it may open an editor for as long as the user likes.
  std::thread([shell = deps_.shell, words = std::move(words)] { shell->run(words); }).detach();
}

void Controller::openLog() {
  deps_.opener->open(deps_.home + std::string(LOG_SUFFIX));
}

void Controller::openConfig() {
  deps_.opener->open(deps_.home + std::string(CONFIG_SUFFIX));
}

void Controller::quit() {
  deps_.quit();
}

}  // namespace ombru::menu::qt
