#pragma once
// The status item and its menu on the session bus: an
// org.kde.StatusNotifierItem with a com.canonical.dbusmenu menu, for the
// desktop shells that draw tray items themselves (Xfce's Status Tray,
// waybar, KDE, GNOME's AppIndicator extension). The shell draws the menu
// from the layout exported here, so it works where an application may not
// open popups of its own (Wayland).
//
// The exported menu mirrors a QMenu: every QAction is one dbusmenu entry
// whose id lasts as long as the action does.

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QDBusVirtualObject>
#include <QHash>
#include <QImage>
#include <QMenu>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <QVariantMap>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "core/constants.hpp"
#include "platform.hpp"

namespace ombru::menu::qt {

// The key of a shortcut as dbusmenu shells name it: GTK's key names
// ("m", "comma"), which is what they parse.
QString dbusmenuKey(const QString& key);

class DBusMenu;
class SniItem;

class StatusNotifier final : public QObject {
  Q_OBJECT

 public:
  struct Hooks {
    // Fills the menu before a shell reads it to show it.
    std::function<void()> aboutToShow;
    // Shows the Qt-drawn menu for a click at a screen position (a shell
    // that asks the item to show its own menu); none where that would be a
    // window.
    std::function<void(QPoint)> popup;
    // Whether a shell now shows the item (registered with a watcher).
    std::function<void(bool)> shown;
  };
  struct Face {
    Look look = Look::listening;
    QString toolTip;
    bool themed = false;  // the look's themed icon is installed
    bool operator==(const Face&) const = default;
  };

  // `timers` paces the retries of a registration.
  StatusNotifier(QDBusConnection bus, QMenu* menu, Hooks hooks, std::shared_ptr<Timers> timers);
  ~StatusNotifier() override;

  // Exports the item and its menu and registers with every watcher that
  // appears from now on. False when the bus cannot take them.
  bool start();
  bool registered() const { return registered_; }
  // Registered, or on the way to it.
  bool hosted() const { return registered_ || pending_ > 0; }
  // Whether a watcher (a tray shell) is on the bus now.
  bool watcherPresent() const;
  QString service() const { return service_; }

  void setFace(const Face& face);
  const Face& face() const { return face_; }
  // The mark's colour changed: shells that hold its pixmaps take new ones.
  void inkChanged();
  void setIconThemePath(const QString& path) { themePath_ = path; }
  // Signals to the shells what changed in the menu since the last call.
  void menuChanged();

 private Q_SLOTS:
  // The watcher's signals.
  void itemUnregistered(const QString& entry);
  void hostRegistered();

 private:
  friend class DBusMenu;
  friend class SniItem;
  struct Entry {
    QPointer<QAction> action;
    QVariantMap props;
    std::vector<int> children;
  };
  using Entries = std::map<int, Entry>;

  void registerWith();
  void dropped();
  // Reads the watcher's list and calls `then` with whether it holds this
  // item; not at all when the watcher changed meanwhile.
  void checkListed(std::function<void(bool)> then);
  bool isOurs(const QString& entry) const;
  void ensureBuilt();
  Entries snapshot();
  // An entry's id and the kind of widget a shell makes for it.
  struct Id {
    int id = 0;
    int kind = 0;
  };
  void walk(QMenu* menu, int id, Entries& out, QHash<QAction*, Id>& before);
  void emitSignal(const QString& path, const QString& iface, const QString& name,
                  const QVariantList& args);

  QDBusConnection bus_;
  QPointer<QMenu> menu_;
  Hooks hooks_;
  QString service_;
  QDBusServiceWatcher watcher_;
  SniItem* item_ = nullptr;
  DBusMenu* dbusMenu_ = nullptr;
  std::shared_ptr<Timers> timers_;
  bool registered_ = false;
  int pending_ = 0;        // registrations sent to this watcher and not answered
  int attempts_ = 0;       // registrations sent to this watcher since it last held the item
  unsigned epoch_ = 0;     // counts watcher changes; older answers are stale
  unsigned accepted_ = 0;  // counts accepted registrations
  Face face_;
  QString themePath_;
  QHash<QAction*, Id> ids_;
  int nextId_ = 1;
  unsigned revision_ = 1;
  Entries shown_;  // what the shells were last told
};

}  // namespace ombru::menu::qt
