// The status item on a private session bus, read the way tray shells read
// it: a shell that caches the menu by entry, a watcher that drops the item,
// the desktop's settings portal.

#include <gtest/gtest.h>

#include <QDBusArgument>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <algorithm>
#include <map>

#include "qt_support.hpp"

namespace ombru::menu::qt::test {
namespace {

const QString WATCHER = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString MENU_IFACE = QStringLiteral("com.canonical.dbusmenu");
const QString PROPS = QStringLiteral("org.freedesktop.DBus.Properties");

// A controller on the private bus, as on a desktop.
struct BusRig {
  Rig rig;
  QDBusConnection client;
  explicit BusRig(const QString& name) : client(PrivateBus::get().connect(name)) {
    rig.controller = std::make_unique<Controller>([this] {
      Deps d = rig.deps("http://127.0.0.1:1");
      d.desktop = true;
      return d;
    }());
  }
  ~BusRig() {
    rig.controller.reset();
    QDBusConnection::disconnectFromBus(client.name());
  }
  QString service() const { return rig.controller->notifier()->service(); }
  // A call answered by this thread's event loop, which serves the item too.
  QDBusMessage call(const QString& path, const QString& iface, const QString& member,
                    const QVariantList& args) {
    QDBusMessage m = QDBusMessage::createMethodCall(service(), path, iface, member);
    m.setArguments(args);
    return client.call(m, QDBus::BlockWithGui, 5000);
  }
  void poll(std::optional<std::string> body) {
    rig.timers->tick();
    rig.http->answerLast(std::move(body));
  }
};

// One menu entry as a shell holds it: its properties as text, its children.
struct Entry {
  std::map<QString, QString> props;
  std::vector<int> children;
  bool operator==(const Entry&) const = default;
};
using Tree = std::map<int, Entry>;

QString text(const QVariant& v) {
  if (v.userType() == qMetaTypeId<QDBusArgument>())  // a shortcut, aas
    return qdbus_cast<QList<QStringList>>(v.value<QDBusArgument>()).isEmpty()
               ? QString()
               : QStringLiteral("keys");
  return v.toString();
}

int readNode(const QDBusArgument& a, Tree& out) {
  int id = 0;
  QVariantMap props;
  a.beginStructure();
  a >> id >> props;
  for (auto it = props.begin(); it != props.end(); ++it) out[id].props[it.key()] = text(it.value());
  a.beginArray();
  while (!a.atEnd()) {
    QDBusVariant child;
    a >> child;
    const int childId = readNode(child.variant().value<QDBusArgument>(), out);
    out[id].children.push_back(childId);
  }
  a.endArray();
  a.endStructure();
  return id;
}

Tree layout(BusRig& bus) {
  const QDBusMessage r = bus.call(QStringLiteral("/MenuBar"), MENU_IFACE,
                                  QStringLiteral("GetLayout"), {0, -1, QStringList()});
  Tree out;
  if (r.type() == QDBusMessage::ReplyMessage && r.arguments().size() == 2)
    readNode(r.arguments()[1].value<QDBusArgument>(), out);
  return out;
}

// A shell that caches entries by id: after a layout update it reads the
// properties of new entries only, and of kept ones what it is told; it
// keeps the kind of entry (separator, submenu) it made for an id, and the
// place of every entry it keeps.
const QStringList KINDS = {QStringLiteral("type"), QStringLiteral("children-display")};
class CachingHost {
 public:
  explicit CachingHost(BusRig& bus) : bus_(bus) {
    bus.client.connect(bus.service(), QStringLiteral("/MenuBar"), MENU_IFACE, QString(), &recorder_,
                       SLOT(take(QDBusMessage)));
    held_ = layout(bus);
  }
  const Tree& held() {
    for (; seen_ < recorder_.got.size(); ++seen_) apply(recorder_.got[seen_]);
    return held_;
  }

 private:
  void apply(const QDBusMessage& m) {
    if (m.member() == QLatin1String("LayoutUpdated")) {
      Tree next = layout(bus_);
      for (auto& [id, entry] : next) {
        auto old = held_.find(id);
        if (old == held_.end()) continue;
        entry.props = old->second.props;
        // New children go in at their index among the old ones, kept ones
        // never move, then the vanished go (as GNOME's extension does).
        std::vector<int> kids = old->second.children;
        for (size_t i = 0; i < entry.children.size(); ++i)
          if (std::find(kids.begin(), kids.end(), entry.children[i]) == kids.end())
            kids.insert(kids.begin() + static_cast<long>(std::min(i, kids.size())),
                        entry.children[i]);
        std::erase_if(kids, [&](int c) {
          return std::find(entry.children.begin(), entry.children.end(), c) == entry.children.end();
        });
        entry.children = kids;
      }
      held_ = std::move(next);
    } else if (m.member() == QLatin1String("ItemsPropertiesUpdated")) {
      const QDBusArgument updated = m.arguments().value(0).value<QDBusArgument>();
      updated.beginArray();
      while (!updated.atEnd()) {
        int id = 0;
        QVariantMap props;
        updated.beginStructure();
        updated >> id >> props;
        updated.endStructure();
        // The kind of an entry it holds is never remade (GNOME's does not).
        if (auto it = held_.find(id); it != held_.end())
          for (auto p = props.begin(); p != props.end(); ++p)
            if (!KINDS.contains(p.key())) it->second.props[p.key()] = text(*p);
      }
      updated.endArray();
      const QDBusArgument removed = m.arguments().value(1).value<QDBusArgument>();
      removed.beginArray();
      while (!removed.atEnd()) {
        int id = 0;
        QStringList names;
        removed.beginStructure();
        removed >> id >> names;
        removed.endStructure();
        if (auto it = held_.find(id); it != held_.end())
          for (const QString& n : names)
            if (!KINDS.contains(n)) it->second.props.erase(n);
      }
      removed.endArray();
    }
  }

  BusRig& bus_;
  BusRecorder recorder_;
  Tree held_;
  size_t seen_ = 0;
};

const char* SESSIONS = R"({"muted":false,"bound":"parser",
  "engines":{"voice":"kokoro","hearing":"whisper"},"last":{"takeaway":"Done","project":"parser"},
  "active":[
  {"key":"k1","host":"Terminal","title":"Parser","loop":{"on":true,"minutes":10},"next_in":125},
  {"key":"k2","host":"Code","title":"Client","loop":{"on":false,"minutes":30}}]})";

TEST(MenuQtSni, AShellThatCachesEntriesByIdShowsTheLayoutAfterEveryChange) {
  ASSERT_TRUE(PrivateBus::get().ok());
  BusRig bus(QStringLiteral("host"));
  bus.rig.controller->start();
  bus.rig.http->answerLast(SESSIONS);
  CachingHost host(bus);
  ASSERT_FALSE(host.held().empty());
  // Up, muted, down, up again, with sessions and without: labels, check
  // marks and enabled flags change on entries that keep their id, also
  // beside structure changes.
  const std::vector<std::optional<std::string>> states = {R"({"muted":true})",
                                                          std::nullopt,
                                                          SESSIONS,
                                                          std::nullopt,
                                                          SESSIONS,
                                                          R"({"muted":true,"active":[]})",
                                                          "{}",
                                                          std::nullopt,
                                                          SESSIONS,
                                                          R"({"muted":false})"};
  for (size_t i = 0; i < states.size(); ++i) {
    bus.poll(states[i]);
    Tree now;
    const bool same = waitUntil(
        [&] {
          now = layout(bus);
          return host.held() == now;
        },
        3000);
    EXPECT_TRUE(same) << "after state " << i;
  }
}

// A desktop service on a connection of its own: `answer` replies to each
// call to its object; signals go out from that object.
class FakeService final : public QDBusVirtualObject {
 public:
  using Answer = std::function<QDBusMessage(const QDBusMessage&)>;
  FakeService(const QString& name, const QString& path, Answer answer)
      : bus_(PrivateBus::get().connect(name)), path_(path), answer_(std::move(answer)) {
    bus_.registerVirtualObject(path_, this);
    bus_.registerService(name);
  }
  ~FakeService() override { QDBusConnection::disconnectFromBus(bus_.name()); }
  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& m, const QDBusConnection& c) override {
    return c.send(answer_(m));
  }
  void signal(const QString& iface, const QString& name, const QVariantList& args) {
    QDBusMessage s = QDBusMessage::createSignal(path_, iface, name);
    s.setArguments(args);
    bus_.send(s);
  }

 private:
  QDBusConnection bus_;
  QString path_;
  Answer answer_;
};

TEST(MenuQtSni, ADroppedItemRegistersAgainAtOnceNeverTwiceAndABoundedNumberOfTimes) {
  ASSERT_TRUE(PrivateBus::get().ok());
  // The watcher keeps what registers, lists it as GNOME's does, can refuse.
  QStringList registrations, items;
  bool refuse = false;
  FakeService watcher(
      WATCHER, QStringLiteral("/StatusNotifierWatcher"), [&](const QDBusMessage& m) {
        if (m.member() != QLatin1String("RegisterStatusNotifierItem"))  // the list, read
          return m.createReply(QVariant::fromValue(QDBusVariant(items)));
        registrations << m.arguments().value(0).toString();
        if (refuse) return m.createErrorReply(QDBusError::Failed, QStringLiteral("refused"));
        items << m.service() + QLatin1Char('@') + registrations.back();
        return m.createReply();
      });
  auto tell = [&](const char* name, const QVariantList& args) {
    watcher.signal(WATCHER, QString::fromLatin1(name), args);
  };
  BusRig bus(QStringLiteral("client"));
  auto& timers = *bus.rig.timers;
  bus.rig.controller->start();
  ASSERT_TRUE(waitUntil([&] { return bus.rig.controller->notifier()->registered(); }, 3000));
  EXPECT_EQ(registrations, QStringList{QStringLiteral("/StatusNotifierItem")})
      << "by its path, so that a watcher knows it by its connection";

  // Another item goes: nothing. This one goes: at once, once.
  tell("StatusNotifierItemUnregistered", {QStringLiteral(":1.999/StatusNotifierItem")});
  spin(200);
  EXPECT_EQ(registrations.size(), 1);
  items.clear();
  tell("StatusNotifierItemUnregistered",
       {bus.rig.controller->notifier()->service() + QStringLiteral("/StatusNotifierItem")});
  EXPECT_TRUE(waitUntil([&] { return registrations.size() == 2; }, 3000));
  spin(200);
  EXPECT_EQ(registrations.size(), 2) << "never twice";

  // A new host finds the item listed: nothing; not listed: it registers.
  tell("StatusNotifierHostRegistered", {});
  spin(200);
  EXPECT_EQ(registrations.size(), 2);
  items.clear();
  tell("StatusNotifierHostRegistered", {});
  EXPECT_TRUE(waitUntil([&] { return registrations.size() == 3; }, 3000));
  spin(200);  // its answer reaches the item

  // A registration that stands and is listed later counts from zero; one
  // silently dropped is redone when that check finds it gone.
  ASSERT_FALSE(timers.once.empty());
  EXPECT_EQ(timers.once.back().ms, 10000);
  items.clear();
  timers.fireOnce(timers.once.size() - 1);
  EXPECT_TRUE(waitUntil([&] { return registrations.size() == 4; }, 3000));
  spin(200);

  // That one stands; then a refusing watcher: retried a second apart, five
  // attempts in all.
  timers.fireOnce(timers.once.size() - 1);
  spin(200);
  refuse = true;
  items.clear();
  tell("StatusNotifierItemUnregistered", {bus.service()});
  for (int i = 0; i < 8; ++i) {
    spin(150);
    for (size_t t = 0; t < timers.once.size(); ++t)
      if (timers.once[t].ms == 1000 && timers.once[t].fn) timers.fireOnce(t);
  }
  spin(150);
  EXPECT_EQ(registrations.size(), 4 + 5);
}

TEST(MenuQtSni, TheItemDescribesItselfAsItsToolTipAndTakesAnActivationToken) {
  ASSERT_TRUE(PrivateBus::get().ok());
  BusRig bus(QStringLiteral("reader"));
  bus.rig.controller->start();
  bus.rig.http->answerLast(R"({"muted":true})");
  const QString item = QStringLiteral("/StatusNotifierItem"),
                iface = QStringLiteral("org.kde.StatusNotifierItem");
  for (const char* name : {"IconAccessibleDesc", "AttentionAccessibleDesc"}) {
    const QDBusMessage r =
        bus.call(item, PROPS, QStringLiteral("Get"), {iface, QString::fromLatin1(name)});
    EXPECT_EQ(r.arguments().value(0).value<QDBusVariant>().variant().toString(),
              QString::fromUtf8("Ombru Voice — muted"))
        << name << r.errorMessage().toStdString();
  }
  const QDBusMessage token =
      bus.call(item, iface, QStringLiteral("ProvideXdgActivationToken"), {QStringLiteral("t")});
  EXPECT_EQ(token.type(), QDBusMessage::ReplyMessage) << token.errorMessage().toStdString();
}

TEST(MenuQtSni, TheColourSchemePreferenceIsReadThenFollowedLive) {
  ASSERT_TRUE(PrivateBus::get().ok());
  // The settings portal; its Read answer nests the value in one variant more.
  const QString settings = QStringLiteral("org.freedesktop.portal.Settings");
  FakeService portal(QStringLiteral("org.freedesktop.portal.Desktop"),
                     QStringLiteral("/org/freedesktop/portal/desktop"), [](const QDBusMessage& m) {
                       return m.createReply(QVariant::fromValue(
                           QDBusVariant(QVariant::fromValue(QDBusVariant(COLOR_SCHEME_LIGHT)))));
                     });
  auto change = [&](const char* space, uint value) {
    portal.signal(settings, QStringLiteral("SettingChanged"),
                  {QString::fromLatin1(space), QStringLiteral("color-scheme"),
                   QVariant::fromValue(QDBusVariant(value))});
  };
  std::vector<std::uint32_t> seen;
  ColorSchemePortal reader(PrivateBus::get().connect(QStringLiteral("settings")),
                           [&](std::uint32_t s) { seen.push_back(s); });
  EXPECT_TRUE(waitUntil([&] { return seen.size() == 1; }, 3000));
  change("org.gnome.desktop.interface", COLOR_SCHEME_DARK);
  change("org.freedesktop.appearance", COLOR_SCHEME_DARK);
  change("org.freedesktop.appearance", 7);  // unknown: no preference
  EXPECT_TRUE(waitUntil([&] { return seen.size() == 3; }, 3000));
  spin(100);
  EXPECT_EQ(seen,
            (std::vector<std::uint32_t>{COLOR_SCHEME_LIGHT, COLOR_SCHEME_DARK, COLOR_SCHEME_NONE}));
}

}  // namespace
}  // namespace ombru::menu::qt::test
