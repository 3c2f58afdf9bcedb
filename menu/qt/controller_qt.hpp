#pragma once
// The one controller of the tray application: it owns the status item, the
// menu, the last State and the poll, and carries out the menu's actions.

#include <QIcon>
#include <QKeyEvent>
#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "core/ombru_menu_core.hpp"
#include "menu_qt.hpp"
#include "platform.hpp"
#include "scheme_portal.hpp"
#include "sni_qt.hpp"

namespace ombru::menu::qt {

struct Deps {
  std::string base = std::string(DAEMON);  // request address = base + path
  std::shared_ptr<Http> http;
  std::shared_ptr<Timers> timers;
  std::shared_ptr<Shell> shell;
  std::shared_ptr<ServiceManager> service;
  std::shared_ptr<Opener> opener;
  std::string home;            // the user's home directory
  std::function<void()> quit;  // ends the application
  // Show the status item on the desktop: over D-Bus to every tray shell
  // that appears, and as an XEmbed icon on X11 while none has it.
  bool desktop = false;

  // The real backends: Qt network and timers, the login shell, the systemd
  // user manager, the desktop's file opener.
  static Deps real(std::string base = std::string(DAEMON));
};

class Controller final : public QObject {
 public:
  explicit Controller(Deps deps);
  ~Controller() override;

  void start();
  void refresh();
  void build();
  // Runs the action of a chosen item (its action name, represented object and
  // check mark as built).
  void choose(const Item& item);

  void toggleMute();
  void startDaemon();
  void restart();
  void openBrain();
  void openLog();
  void openConfig();
  void quit();

  const State& state() const { return state_; }
  QMenu* menu() const { return menu_; }
  // The XEmbed icon, while one is needed; the D-Bus item, on the desktop.
  QSystemTrayIcon* tray() const { return tray_; }
  StatusNotifier* notifier() const { return sni_; }
  // What the status item shows now.
  const QIcon& shownIcon() const { return shownIcon_; }
  const QString& toolTip() const { return toolTip_; }
  // The icon of a look, made once and reused.
  QIcon icon(Look look);
  // The top-left corner of the Qt-drawn menu opened by a click at `at`.
  QPoint menuPlace(QPoint at) const;
  int builds() const { return builds_; }
  const MenuRenderer& renderer() const { return renderer_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void deliver(State state);
  void send(const Command& command);
  void show(Look look, const QString& toolTip);
  // The mark's colour changed: every host takes it afresh.
  void repaint();
  // The XEmbed icon stands in while no D-Bus tray shell has the item.
  void fallback();
  bool shortcut(QMenu* menu, QKeyEvent* key);

  Deps deps_;
  QSystemTrayIcon* tray_ = nullptr;
  StatusNotifier* sni_ = nullptr;
  ColorSchemePortal* portal_ = nullptr;
  QMenu* menu_;
  State state_;
  MenuRenderer renderer_;
  std::map<Look, QIcon> icons_;
  std::optional<Look> shownLook_;
  QIcon shownIcon_;
  QString toolTip_;
  QString iconDir_;  // where the themed icons are, when they are
  int builds_ = 0;
};

}  // namespace ombru::menu::qt
