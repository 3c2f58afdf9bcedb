#include "controller_qt.hpp"

#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QStandardPaths>
#include <cstdio>
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
  d.desktop = true;
  return d;
}

Controller::Controller(Deps deps)
    : deps_(std::move(deps)),
      menu_(new QMenu()),
      renderer_([this](const Item& item) { choose(item); }) {}

Controller::~Controller() {
  qApp->removeEventFilter(this);
  delete sni_;
  if (tray_) tray_->setContextMenu(nullptr);
  delete menu_;
}

QIcon Controller::icon(Look look) {
  auto it = icons_.find(look);
  if (it == icons_.end()) it = icons_.emplace(look, markIcon(styleOf(look).opacity)).first;
  return it->second;
}

namespace {

bool onX11() {
  return QGuiApplication::platformName() == QLatin1String("xcb");
}

bool onWayland() {
  return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

// The folder of icon themes holding this program's icons: beside an install
// in any prefix (and in the build tree, which mirrors it), else a standard
// data folder; empty when the icons are nowhere, and the pixmaps do alone.
QString iconFolder() {
  const std::string_view name = styleOf(Look::listening).iconName;
  const QString file = QStringLiteral("/hicolor/scalable/apps/") +
                       QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())) +
                       QStringLiteral(".svg");
  const QString local = QCoreApplication::applicationDirPath() + QStringLiteral("/../share/icons");
  if (QFileInfo::exists(local + file)) return QDir::cleanPath(local);
  for (const QString& data : QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation))
    if (QFileInfo::exists(data + QStringLiteral("/icons") + file))
      return data + QStringLiteral("/icons");
  return {};
}

}  // namespace

void Controller::start() {
  QObject::connect(menu_, &QMenu::aboutToShow, this, [this] { build(); });
  // The mark takes the palette's text colour when it is drawn; a new palette
  // (a dark theme switched on) must reach trays that hold a rendered copy.
  // Key presses reach the open menu through here too.
  qApp->installEventFilter(this);
  show(Look::listening,
       QString::fromUtf8(INITIAL_TOOL_TIP.data(), static_cast<qsizetype>(INITIAL_TOOL_TIP.size())));
  if (deps_.desktop) {
    iconDir_ = iconFolder();
    StatusNotifier::Hooks hooks;
    hooks.aboutToShow = [this] { build(); };
    // A popup of our own is a toplevel window on Wayland: only on X11.
    if (onX11())
      hooks.popup = [this](QPoint at) {
        if (menu_->isVisible()) return;
        build();  // sized by its entries before it is placed
        menu_->popup(menuPlace(at.isNull() ? QCursor::pos() : at));
      };
    hooks.shown = [this](bool) { fallback(); };
    sni_ = new StatusNotifier(QDBusConnection::sessionBus(), menu_, hooks, deps_.timers);
    sni_->setIconThemePath(iconDir_);
    show(*shownLook_, toolTip_);
    // No Wayland client learns a bar's colour: the desktop's preference
    // stands in for it.
    if (onWayland())
      portal_ = new ColorSchemePortal(QDBusConnection::sessionBus(), [this](std::uint32_t s) {
        setColorScheme(s);
        repaint();
      });
    if (portal_) portal_->setParent(this);
    const bool shell = sni_->start() && sni_->watcherPresent();
    fallback();
    const bool xembed = tray_ && QSystemTrayIcon::isSystemTrayAvailable();
    if (!shell && !xembed)
      std::fprintf(stderr,
                   "ombru-menu: no tray host found; the icon will appear when one starts\n");
  }
  refresh();
  deps_.timers->every(ms(POLL_INTERVAL), [this] { refresh(); });
}

void Controller::fallback() {
  const bool needed = onX11() && !(sni_ && sni_->hosted());
  // Made only while no D-Bus shell is there, so that Qt settles on XEmbed
  // instead of registering a second item of its own.
  if (needed && !tray_ && !(sni_ && sni_->watcherPresent())) {
    tray_ = new QSystemTrayIcon(this);
    tray_->setIcon(shownIcon_);
    tray_->setToolTip(toolTip_);
    tray_->setContextMenu(menu_);
    // A plain click opens the menu as well; Qt opens it on the context click.
    QObject::connect(tray_, &QSystemTrayIcon::activated, this,
                     [this](QSystemTrayIcon::ActivationReason reason) {
                       if (reason == QSystemTrayIcon::Trigger && !menu_->isVisible())
                         menu_->popup(QCursor::pos());
                     });
  }
  if (tray_) tray_->setVisible(needed);
}

QPoint Controller::menuPlace(QPoint at) const {
  const QScreen* screen = QGuiApplication::screenAt(at);
  if (!screen) screen = QGuiApplication::primaryScreen();
  if (!screen) return at;
  auto rect = [](const QRect& r) {
    return Rect{double(r.x()), double(r.y()), double(r.width()), double(r.height())};
  };
  const QSize size = menu_->sizeHint();
  const Point p = menuPosition({double(at.x()), double(at.y())}, size.width(), size.height(),
                               rect(screen->geometry()), rect(screen->availableGeometry()));
  return {static_cast<int>(p.x), static_cast<int>(p.y)};
}

void Controller::repaint() {
  if (!shownLook_) return;
  shownIcon_ = icon(*shownLook_);
  if (tray_) tray_->setIcon(shownIcon_);
  if (sni_) sni_->inkChanged();
}

void Controller::show(Look look, const QString& toolTip) {
  if (look != shownLook_) {
    shownIcon_ = icon(look);
    shownLook_ = look;
    if (tray_) tray_->setIcon(shownIcon_);
  }
  if (toolTip != toolTip_) {
    toolTip_ = toolTip;
    if (tray_) tray_->setToolTip(toolTip_);
  }
  if (sni_) sni_->setFace({look, toolTip_, !iconDir_.isEmpty()});
}

bool Controller::eventFilter(QObject* watched, QEvent* event) {
  if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange) repaint();
  if (event->type() == QEvent::KeyPress)
    if (auto* menu = qobject_cast<QMenu*>(watched))
      if (shortcut(menu, static_cast<QKeyEvent*>(event))) return true;
  return QObject::eventFilter(watched, event);
}

// Qt draws the shortcuts in the open menu but does not act on them there: a
// key pressed in any level of it runs the entry that shows that shortcut.
bool Controller::shortcut(QMenu* menu, QKeyEvent* key) {
  if (key->modifiers() == Qt::NoModifier) return false;
  const QKeySequence pressed(key->keyCombination());
  QAction* found = nullptr;
  bool ours = false;
  std::vector<QMenu*> todo{menu_};
  while (!todo.empty()) {
    QMenu* m = todo.back();
    todo.pop_back();
    ours = ours || m == menu;
    for (QAction* a : m->actions()) {
      if (a->menu()) todo.push_back(a->menu());
      if (!found && a->isEnabled() && !a->shortcut().isEmpty() && a->shortcut() == pressed)
        found = a;
    }
  }
  if (!ours || !found) return false;
  QPointer<QAction> target = found;
  menu_->hide();  // and the open submenus with it
  // After the key's own handling, like a click: the action may rebuild the menu.
  QMetaObject::invokeMethod(
      this,
      [target] {
        if (target) target->trigger();
      },
      Qt::QueuedConnection);
  return true;
}

void Controller::refresh() {
  const bool sent = deps_.http->get(
      deps_.base + std::string(STATE_PATH), ms(GET_TIMEOUT),
      [this](std::optional<std::string> body) { deliver(body ? decodeState(*body) : State{}); });
  if (!sent) deliver(State{});
}

void Controller::deliver(State state) {
  state_ = std::move(state);
  const Look look = lookOf(state_);
  show(look, QString::fromStdString(std::string(styleOf(look).toolTip)));
  // A menu never opened holds nothing and stays unbuilt; once built it
  // follows every poll.
  if (!menu_->actions().isEmpty()) build();
}

void Controller::build() {
  ++builds_;
  renderer_.render(menu_, buildMenu(state_));
  if (sni_) sni_->menuChanged();
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
