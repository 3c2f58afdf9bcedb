#include "sni_qt.hpp"

#include <QAction>
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QKeySequence>
#include <QSet>
#include <QThread>
#include <QtEndian>
#include <algorithm>
#include <iterator>

#include "core/display.hpp"
#include "mark_qt.hpp"

// The D-Bus shapes of the two interfaces.
namespace ombru::menu::qt::wire {

struct Pixmap {  // (iiay): ARGB32 in network byte order
  int width = 0, height = 0;
  QByteArray data;
};
using Pixmaps = QList<Pixmap>;
struct ToolTip {  // (sa(iiay)ss)
  QString iconName;
  Pixmaps pixmaps;
  QString title, text;
};
struct Node {  // (ia{sv}av): one entry and, as variants, its children
  int id = 0;
  QVariantMap props;
  QList<Node> children;
};
struct Props {  // (ia{sv})
  int id = 0;
  QVariantMap props;
};
struct Removed {  // (ias)
  int id = 0;
  QStringList names;
};
using Shortcut = QList<QStringList>;  // aas

}  // namespace ombru::menu::qt::wire

Q_DECLARE_METATYPE(ombru::menu::qt::wire::Pixmap)
Q_DECLARE_METATYPE(ombru::menu::qt::wire::ToolTip)
Q_DECLARE_METATYPE(ombru::menu::qt::wire::Node)
Q_DECLARE_METATYPE(ombru::menu::qt::wire::Props)
Q_DECLARE_METATYPE(ombru::menu::qt::wire::Removed)

namespace ombru::menu::qt::wire {

QDBusArgument& operator<<(QDBusArgument& a, const Pixmap& p) {
  a.beginStructure();
  a << p.width << p.height << p.data;
  a.endStructure();
  return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, Pixmap& p) {
  a.beginStructure();
  a >> p.width >> p.height >> p.data;
  a.endStructure();
  return a;
}
QDBusArgument& operator<<(QDBusArgument& a, const ToolTip& t) {
  a.beginStructure();
  a << t.iconName << t.pixmaps << t.title << t.text;
  a.endStructure();
  return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, ToolTip& t) {
  a.beginStructure();
  a >> t.iconName >> t.pixmaps >> t.title >> t.text;
  a.endStructure();
  return a;
}
QDBusArgument& operator<<(QDBusArgument& a, const Node& n) {
  a.beginStructure();
  a << n.id << n.props;
  a.beginArray(QMetaType::fromType<QDBusVariant>());
  for (const Node& child : n.children) a << QDBusVariant(QVariant::fromValue(child));
  a.endArray();
  a.endStructure();
  return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, Node& n) {
  // Only written by this program; read back for the type's registration.
  a.beginStructure();
  a >> n.id >> n.props;
  a.beginArray();
  while (!a.atEnd()) {
    QDBusVariant v;
    a >> v;
  }
  a.endArray();
  a.endStructure();
  return a;
}
QDBusArgument& operator<<(QDBusArgument& a, const Props& p) {
  a.beginStructure();
  a << p.id << p.props;
  a.endStructure();
  return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, Props& p) {
  a.beginStructure();
  a >> p.id >> p.props;
  a.endStructure();
  return a;
}
QDBusArgument& operator<<(QDBusArgument& a, const Removed& r) {
  a.beginStructure();
  a << r.id << r.names;
  a.endStructure();
  return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, Removed& r) {
  a.beginStructure();
  a >> r.id >> r.names;
  a.endStructure();
  return a;
}

void registerTypes() {
  static const bool once = [] {
    qDBusRegisterMetaType<Pixmap>();
    qDBusRegisterMetaType<Pixmaps>();
    qDBusRegisterMetaType<ToolTip>();
    qDBusRegisterMetaType<Node>();
    qDBusRegisterMetaType<Props>();
    qDBusRegisterMetaType<QList<Props>>();
    qDBusRegisterMetaType<Removed>();
    qDBusRegisterMetaType<QList<Removed>>();
    qDBusRegisterMetaType<Shortcut>();
    return true;
  }();
  (void)once;
}

}  // namespace ombru::menu::qt::wire

namespace ombru::menu::qt {
namespace {

const QString WATCHER = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString ITEM_IFACE = QStringLiteral("org.kde.StatusNotifierItem");
const QString MENU_IFACE = QStringLiteral("com.canonical.dbusmenu");
const QString PROPS_IFACE = QStringLiteral("org.freedesktop.DBus.Properties");
const QString ITEM_PATH = QStringLiteral("/StatusNotifierItem");
const QString MENU_PATH = QStringLiteral("/MenuBar");

const QString WATCHER_PATH = QStringLiteral("/StatusNotifierWatcher");

int millis(double seconds) {
  return static_cast<int>(seconds * 1000.0 + 0.5);
}

const char* ITEM_XML = R"xml(  <interface name="org.kde.StatusNotifierItem">
    <property name="Category" type="s" access="read"/>
    <property name="Id" type="s" access="read"/>
    <property name="Title" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="WindowId" type="i" access="read"/>
    <property name="IconThemePath" type="s" access="read"/>
    <property name="Menu" type="o" access="read"/>
    <property name="ItemIsMenu" type="b" access="read"/>
    <property name="IconName" type="s" access="read"/>
    <property name="IconPixmap" type="a(iiay)" access="read"/>
    <property name="OverlayIconName" type="s" access="read"/>
    <property name="OverlayIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionIconName" type="s" access="read"/>
    <property name="AttentionIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionMovieName" type="s" access="read"/>
    <property name="ToolTip" type="(sa(iiay)ss)" access="read"/>
    <property name="IconAccessibleDesc" type="s" access="read"/>
    <property name="AttentionAccessibleDesc" type="s" access="read"/>
    <method name="ContextMenu"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Activate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="SecondaryActivate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Scroll"><arg name="delta" type="i" direction="in"/><arg name="orientation" type="s" direction="in"/></method>
    <method name="ProvideXdgActivationToken"><arg name="token" type="s" direction="in"/></method>
    <signal name="NewTitle"/>
    <signal name="NewIcon"/>
    <signal name="NewAttentionIcon"/>
    <signal name="NewOverlayIcon"/>
    <signal name="NewToolTip"/>
    <signal name="NewStatus"><arg name="status" type="s"/></signal>
  </interface>
)xml";

const char* MENU_XML = R"xml(  <interface name="com.canonical.dbusmenu">
    <property name="Version" type="u" access="read"/>
    <property name="TextDirection" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="IconThemePath" type="as" access="read"/>
    <method name="GetLayout">
      <arg name="parentId" type="i" direction="in"/><arg name="recursionDepth" type="i" direction="in"/>
      <arg name="propertyNames" type="as" direction="in"/>
      <arg name="revision" type="u" direction="out"/><arg name="layout" type="(ia{sv}av)" direction="out"/>
    </method>
    <method name="GetGroupProperties">
      <arg name="ids" type="ai" direction="in"/><arg name="propertyNames" type="as" direction="in"/>
      <arg name="properties" type="a(ia{sv})" direction="out"/>
    </method>
    <method name="GetProperty">
      <arg name="id" type="i" direction="in"/><arg name="name" type="s" direction="in"/>
      <arg name="value" type="v" direction="out"/>
    </method>
    <method name="Event">
      <arg name="id" type="i" direction="in"/><arg name="eventId" type="s" direction="in"/>
      <arg name="data" type="v" direction="in"/><arg name="timestamp" type="u" direction="in"/>
    </method>
    <method name="EventGroup">
      <arg name="events" type="a(isvu)" direction="in"/><arg name="idErrors" type="ai" direction="out"/>
    </method>
    <method name="AboutToShow">
      <arg name="id" type="i" direction="in"/><arg name="needUpdate" type="b" direction="out"/>
    </method>
    <method name="AboutToShowGroup">
      <arg name="ids" type="ai" direction="in"/><arg name="updatesNeeded" type="ai" direction="out"/>
      <arg name="idErrors" type="ai" direction="out"/>
    </method>
    <signal name="ItemsPropertiesUpdated">
      <arg name="updatedProps" type="a(ia{sv})"/><arg name="removedProps" type="a(ias)"/>
    </signal>
    <signal name="LayoutUpdated"><arg name="revision" type="u"/><arg name="parent" type="i"/></signal>
    <signal name="ItemActivationRequested"><arg name="id" type="i"/><arg name="timestamp" type="u"/></signal>
  </interface>
)xml";

const char* PROPS_XML = R"xml(  <interface name="org.freedesktop.DBus.Properties">
    <method name="Get">
      <arg name="interface" type="s" direction="in"/><arg name="name" type="s" direction="in"/>
      <arg name="value" type="v" direction="out"/>
    </method>
    <method name="GetAll">
      <arg name="interface" type="s" direction="in"/><arg name="properties" type="a{sv}" direction="out"/>
    </method>
  </interface>
)xml";

// dbusmenu labels mark mnemonics with "_"; Qt's with "&", doubled for a
// literal one. The menu's texts are shown literally.
QString dbusLabel(QString text) {
  QString out;
  out.reserve(text.size());
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text[i];
    if (c == QLatin1Char('&')) {
      if (i + 1 < text.size() && text[i + 1] == QLatin1Char('&')) ++i, out += c;
      continue;  // a Qt mnemonic marker: dbusmenu shells draw none
    }
    if (c == QLatin1Char('_')) out += c;
    out += c;
  }
  return out;
}

wire::Shortcut dbusShortcut(const QKeySequence& keys) {
  wire::Shortcut out;
  for (int i = 0; i < keys.count(); ++i) {
    const QKeyCombination k = keys[i];
    QStringList combo;
    const Qt::KeyboardModifiers m = k.keyboardModifiers();
    if (m & Qt::ControlModifier) combo << QStringLiteral("Control");
    if (m & Qt::AltModifier) combo << QStringLiteral("Alt");
    if (m & Qt::ShiftModifier) combo << QStringLiteral("Shift");
    if (m & Qt::MetaModifier) combo << QStringLiteral("Super");
    combo << dbusmenuKey(QKeySequence(k.key()).toString(QKeySequence::PortableText));
    out << combo;
  }
  return out;
}

QVariantMap properties(QAction* a) {
  QVariantMap p;
  if (a->isSeparator()) {
    p.insert(QStringLiteral("type"), QStringLiteral("separator"));
    return p;
  }
  p.insert(QStringLiteral("label"), dbusLabel(a->text()));
  p.insert(QStringLiteral("enabled"), a->isEnabled());
  if (a->isCheckable()) {
    p.insert(QStringLiteral("toggle-type"), QStringLiteral("checkmark"));
    p.insert(QStringLiteral("toggle-state"), a->isChecked() ? 1 : 0);
  }
  if (!a->shortcut().isEmpty())
    p.insert(QStringLiteral("shortcut"), QVariant::fromValue(dbusShortcut(a->shortcut())));
  if (a->menu()) p.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
  // Hidden entries stay in the layout, so that showing one again is a
  // property change of an entry the shells already hold.
  if (!a->isVisible()) p.insert(QStringLiteral("visible"), false);
  return p;
}

QVariantMap only(const QVariantMap& props, const QStringList& names) {
  if (names.isEmpty()) return props;
  QVariantMap out;
  for (const QString& n : names)
    if (props.contains(n)) out.insert(n, props.value(n));
  return out;
}

// Some hosts (waybar) take the largest pixmap and scale it down to their
// 16 px slot. The largest is therefore the 16 px drawing enlarged by a whole
// factor, which comes down exactly on whole pixels instead of smeared.
QImage pixmapImage(int side, const QColor& ink, double opacity) {
  const int base = PANEL_ICON_SIZES.front();
  if (side != base * LARGEST_PIXMAP_FACTOR) return markImage(side, ink, opacity);
  return markImage(base, ink, opacity)
      .scaled(side, side, Qt::IgnoreAspectRatio, Qt::FastTransformation);
}

wire::Pixmaps pixmaps(double opacity) {
  wire::Pixmaps out;
  const QColor ink = markInk();
  for (int side : pixmapSizes()) {
    const QImage img = pixmapImage(side, ink, opacity).convertToFormat(QImage::Format_ARGB32);
    wire::Pixmap p{side, side, QByteArray(side * side * 4, Qt::Uninitialized)};
    auto* dst = reinterpret_cast<quint32*>(p.data.data());
    for (int y = 0; y < side; ++y) {
      const auto* row = reinterpret_cast<const quint32*>(img.constScanLine(y));
      for (int x = 0; x < side; ++x) *dst++ = qToBigEndian(row[x]);
    }
    out << p;
  }
  return out;
}

// Virtual objects answer introspection themselves.
bool introspection(const QDBusMessage& msg, const QDBusConnection& bus, const QString& xml) {
  if (msg.interface() != QLatin1String("org.freedesktop.DBus.Introspectable") ||
      msg.member() != QLatin1String("Introspect"))
    return false;
  bus.send(msg.createReply(
      QStringLiteral("<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection "
                     "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/"
                     "introspect.dtd\">\n<node>\n") +
      xml +
      QStringLiteral("  <interface name=\"org.freedesktop.DBus.Introspectable\">\n"
                     "    <method name=\"Introspect\"><arg type=\"s\" direction=\"out\"/>"
                     "</method>\n  </interface>\n</node>\n")));
  return true;
}

void replyError(const QDBusMessage& msg, const QDBusConnection& bus, const QString& what) {
  bus.send(msg.createErrorReply(QDBusError::InvalidArgs, what));
}

}  // namespace

QString dbusmenuKey(const QString& key) {
  static const QHash<QString, QString> names = {
      {QStringLiteral(","), QStringLiteral("comma")},
      {QStringLiteral("."), QStringLiteral("period")},
      {QStringLiteral("/"), QStringLiteral("slash")},
      {QStringLiteral("\\"), QStringLiteral("backslash")},
      {QStringLiteral(";"), QStringLiteral("semicolon")},
      {QStringLiteral("'"), QStringLiteral("apostrophe")},
      {QStringLiteral("`"), QStringLiteral("grave")},
      {QStringLiteral("-"), QStringLiteral("minus")},
      {QStringLiteral("="), QStringLiteral("equal")},
      {QStringLiteral("["), QStringLiteral("bracketleft")},
      {QStringLiteral("]"), QStringLiteral("bracketright")},
      {QStringLiteral("+"), QStringLiteral("plus")},
      {QStringLiteral("Space"), QStringLiteral("space")},
      {QStringLiteral("Esc"), QStringLiteral("Escape")},
      {QStringLiteral("Del"), QStringLiteral("Delete")},
      {QStringLiteral("Ins"), QStringLiteral("Insert")},
      {QStringLiteral("PgUp"), QStringLiteral("Page_Up")},
      {QStringLiteral("PgDown"), QStringLiteral("Page_Down")},
  };
  if (auto it = names.find(key); it != names.end()) return *it;
  // Letter keys are named by their lower-case keysym.
  if (key.size() == 1 && key[0].isLetter()) return key.toLower();
  return key;
}

// The status item: its properties, and the clicks a shell passes on.
class SniItem final : public QDBusVirtualObject {
 public:
  explicit SniItem(StatusNotifier& owner) : owner_(owner) {}

  QString introspect(const QString&) const override {
    return QString::fromLatin1(ITEM_XML) + QString::fromLatin1(PROPS_XML);
  }

  bool handleMessage(const QDBusMessage& msg, const QDBusConnection& bus) override {
    if (introspection(msg, bus, introspect(msg.path()))) return true;
    Q_ASSERT(QThread::currentThread() == owner_.thread());
    const QString iface = msg.interface(), member = msg.member();
    const QVariantList args = msg.arguments();
    if (iface == PROPS_IFACE && member == QLatin1String("Get") && args.size() == 2) {
      const QVariantMap all = properties();
      const QString name = args[1].toString();
      if (!all.contains(name))
        return replyError(msg, bus, QStringLiteral("no such property")), true;
      bus.send(msg.createReply(QVariant::fromValue(QDBusVariant(all.value(name)))));
      return true;
    }
    if (iface == PROPS_IFACE && member == QLatin1String("GetAll")) {
      bus.send(msg.createReply(QVariant::fromValue(properties())));
      return true;
    }
    if (member == QLatin1String("Activate") || member == QLatin1String("ContextMenu")) {
      // The item says it is a menu, so shells show the exported one; one that
      // asks all the same gets the Qt-drawn menu where that is a popup.
      const QPoint at(args.value(0).toInt(), args.value(1).toInt());
      if (owner_.hooks_.popup)
        QMetaObject::invokeMethod(
            &owner_, [this, at] { owner_.hooks_.popup(at); }, Qt::QueuedConnection);
      bus.send(msg.createReply());
      return true;
    }
    // The token would let a window of ours take the focus; there is none.
    if (member == QLatin1String("SecondaryActivate") || member == QLatin1String("Scroll") ||
        member == QLatin1String("ProvideXdgActivationToken")) {
      bus.send(msg.createReply());
      return true;
    }
    return false;
  }

 private:
  QVariantMap properties() const {
    const StatusNotifier::Face& face = owner_.face_;
    const LookStyle& style = styleOf(face.look);
    const QString iconName = face.themed
                                 ? QString::fromUtf8(style.iconName.data(),
                                                     static_cast<qsizetype>(style.iconName.size()))
                                 : QString();
    QVariantMap p;
    p.insert(QStringLiteral("Category"), QStringLiteral("ApplicationStatus"));
    p.insert(QStringLiteral("Id"), QStringLiteral("ombru-menu"));
    p.insert(QStringLiteral("Title"), QStringLiteral("Ombru Voice"));
    p.insert(QStringLiteral("Status"), QStringLiteral("Active"));
    p.insert(QStringLiteral("WindowId"), 0);
    p.insert(QStringLiteral("IconThemePath"), owner_.themePath_);
    p.insert(QStringLiteral("Menu"), QVariant::fromValue(QDBusObjectPath(MENU_PATH)));
    p.insert(QStringLiteral("ItemIsMenu"), true);
    p.insert(QStringLiteral("IconName"), iconName);
    p.insert(QStringLiteral("IconPixmap"), QVariant::fromValue(pixmaps(style.opacity)));
    p.insert(QStringLiteral("OverlayIconName"), QString());
    p.insert(QStringLiteral("OverlayIconPixmap"), QVariant::fromValue(wire::Pixmaps()));
    p.insert(QStringLiteral("AttentionIconName"), QString());
    p.insert(QStringLiteral("AttentionIconPixmap"), QVariant::fromValue(wire::Pixmaps()));
    p.insert(QStringLiteral("AttentionMovieName"), QString());
    p.insert(QStringLiteral("ToolTip"),
             QVariant::fromValue(wire::ToolTip{iconName, {}, face.toolTip, QString()}));
    // What a screen reader says for the icon: the same as the tool tip.
    p.insert(QStringLiteral("IconAccessibleDesc"), face.toolTip);
    p.insert(QStringLiteral("AttentionAccessibleDesc"), face.toolTip);
    return p;
  }

  StatusNotifier& owner_;
};

// The menu, as the shells read it and click it.
class DBusMenu final : public QDBusVirtualObject {
 public:
  explicit DBusMenu(StatusNotifier& owner) : owner_(owner) {}

  QString introspect(const QString&) const override {
    return QString::fromLatin1(MENU_XML) + QString::fromLatin1(PROPS_XML);
  }

  bool handleMessage(const QDBusMessage& msg, const QDBusConnection& bus) override {
    if (introspection(msg, bus, introspect(msg.path()))) return true;
    Q_ASSERT(QThread::currentThread() == owner_.thread());
    const QString iface = msg.interface(), member = msg.member();
    const QVariantList args = msg.arguments();
    if (iface == PROPS_IFACE &&
        (member == QLatin1String("Get") || member == QLatin1String("GetAll"))) {
      QVariantMap p;
      p.insert(QStringLiteral("Version"), 3u);
      p.insert(QStringLiteral("TextDirection"), QStringLiteral("ltr"));
      p.insert(QStringLiteral("Status"), QStringLiteral("normal"));
      p.insert(QStringLiteral("IconThemePath"), QStringList());
      if (member == QLatin1String("GetAll")) {
        bus.send(msg.createReply(QVariant::fromValue(p)));
      } else if (args.size() == 2 && p.contains(args[1].toString())) {
        bus.send(msg.createReply(QVariant::fromValue(QDBusVariant(p.value(args[1].toString())))));
      } else {
        replyError(msg, bus, QStringLiteral("no such property"));
      }
      return true;
    }
    if (member == QLatin1String("GetLayout") && args.size() == 3) {
      // A shell reads the layout to show it: a menu never built is built
      // now, as when the Qt-drawn menu is about to open.
      owner_.ensureBuilt();
      const int parent = args[0].toInt(), depth = args[1].toInt();
      if (!owner_.shown_.count(parent))
        return replyError(msg, bus, QStringLiteral("no such id")), true;
      const wire::Node node = layout(parent, depth, args[2].toStringList());
      bus.send(msg.createReply({owner_.revision_, QVariant::fromValue(node)}));
      return true;
    }
    if (member == QLatin1String("GetGroupProperties") && args.size() == 2) {
      owner_.ensureBuilt();
      QList<wire::Props> out;
      const QStringList names = args[1].toStringList();
      for (int id : qdbus_cast<QList<int>>(args[0])) {
        auto it = owner_.shown_.find(id);
        if (it != owner_.shown_.end()) out << wire::Props{id, only(it->second.props, names)};
      }
      bus.send(msg.createReply(QVariant::fromValue(out)));
      return true;
    }
    if (member == QLatin1String("GetProperty") && args.size() == 2) {
      owner_.ensureBuilt();
      auto it = owner_.shown_.find(args[0].toInt());
      const QString name = args[1].toString();
      if (it == owner_.shown_.end() || !it->second.props.contains(name))
        return replyError(msg, bus, QStringLiteral("no such id or property")), true;
      bus.send(msg.createReply(QVariant::fromValue(QDBusVariant(it->second.props.value(name)))));
      return true;
    }
    if (member == QLatin1String("Event") && args.size() == 4) {
      itemEvent(args[0].toInt(), args[1].toString());
      bus.send(msg.createReply());
      return true;
    }
    if (member == QLatin1String("EventGroup") && args.size() == 1) {
      QList<int> errors;
      const QDBusArgument a = args[0].value<QDBusArgument>();
      a.beginArray();
      while (!a.atEnd()) {
        int id = 0;
        QString kind;
        QDBusVariant data;
        uint time = 0;
        a.beginStructure();
        a >> id >> kind >> data >> time;
        a.endStructure();
        if (!itemEvent(id, kind)) errors << id;
      }
      a.endArray();
      bus.send(msg.createReply(QVariant::fromValue(errors)));
      return true;
    }
    if (member == QLatin1String("AboutToShow") && args.size() == 1) {
      bus.send(msg.createReply(aboutToShow(args[0].toInt())));
      return true;
    }
    if (member == QLatin1String("AboutToShowGroup") && args.size() == 1) {
      QList<int> updates, errors;
      for (int id : qdbus_cast<QList<int>>(args[0])) {
        if (!owner_.shown_.count(id) && id != 0)
          errors << id;
        else if (aboutToShow(id))
          updates << id;
      }
      bus.send(msg.createReply({QVariant::fromValue(updates), QVariant::fromValue(errors)}));
      return true;
    }
    return false;
  }

 private:
  // The root opening is the menu opening: it is built from the newest state
  // before the answer, and the answer says whether the layout changed.
  bool aboutToShow(int id) {
    if (id != 0) return false;
    const unsigned before = owner_.revision_;
    if (owner_.hooks_.aboutToShow) owner_.hooks_.aboutToShow();
    return owner_.revision_ != before;
  }

  bool itemEvent(int id, const QString& kind) {
    auto it = owner_.shown_.find(id);
    if (it == owner_.shown_.end()) return false;
    if (kind != QLatin1String("clicked")) return true;
    QPointer<QAction> action = it->second.action;
    // After the answer: the action may rebuild the menu or end the program.
    QMetaObject::invokeMethod(
        &owner_,
        [action] {
          if (action && action->isEnabled() && !action->menu()) action->trigger();
        },
        Qt::QueuedConnection);
    return true;
  }

  wire::Node layout(int id, int depth, const QStringList& names) const {
    const auto& e = owner_.shown_.at(id);
    wire::Node node{id, only(e.props, names), {}};
    if (depth != 0)
      for (int child : e.children) node.children << layout(child, depth - 1, names);
    return node;
  }

  StatusNotifier& owner_;
};

StatusNotifier::StatusNotifier(QDBusConnection bus, QMenu* menu, Hooks hooks,
                               std::shared_ptr<Timers> timers)
    : bus_(std::move(bus)),
      menu_(menu),
      hooks_(std::move(hooks)),
      service_(QStringLiteral("org.kde.StatusNotifierItem-%1-1")
                   .arg(QCoreApplication::applicationPid())),
      timers_(std::move(timers)) {
  wire::registerTypes();
}

StatusNotifier::~StatusNotifier() {
  if (item_) {
    bus_.unregisterObject(ITEM_PATH);
    bus_.unregisterObject(MENU_PATH);
    bus_.unregisterService(service_);
  }
  delete item_;
  delete dbusMenu_;
}

bool StatusNotifier::start() {
  if (!bus_.isConnected()) return false;
  item_ = new SniItem(*this);
  dbusMenu_ = new DBusMenu(*this);
  if (!bus_.registerVirtualObject(ITEM_PATH, item_) ||
      !bus_.registerVirtualObject(MENU_PATH, dbusMenu_) || !bus_.registerService(service_))
    return false;
  shown_ = snapshot();
  watcher_.setConnection(bus_);
  watcher_.setWatchMode(QDBusServiceWatcher::WatchForOwnerChange);
  watcher_.addWatchedService(WATCHER);
  // Every watcher that appears, also a restarted panel's, gets the item.
  QObject::connect(&watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
                   [this](const QString&, const QString&, const QString& owner) {
                     ++epoch_;
                     pending_ = 0;
                     attempts_ = 0;
                     if (registered_) {
                       registered_ = false;
                       if (hooks_.shown) hooks_.shown(false);
                     }
                     if (!owner.isEmpty()) registerWith();
                   });
  // A watcher may drop the item while it stays (GNOME's, when it fails to
  // read it), and a new host may come with a watcher that lost it: either
  // way the item registers again.
  bus_.connect(WATCHER, WATCHER_PATH, WATCHER, QStringLiteral("StatusNotifierItemUnregistered"),
               this, SLOT(itemUnregistered(QString)));
  bus_.connect(WATCHER, WATCHER_PATH, WATCHER, QStringLiteral("StatusNotifierHostRegistered"), this,
               SLOT(hostRegistered()));
  if (bus_.interface()->isServiceRegistered(WATCHER)) registerWith();
  return true;
}

bool StatusNotifier::watcherPresent() const {
  return bus_.isConnected() && bus_.interface()->isServiceRegistered(WATCHER);
}

bool StatusNotifier::isOurs(const QString& entry) const {
  // Watchers list a bus name, unique or ours, with or without the path.
  const QString name = entry.section(QLatin1Char('/'), 0, 0).section(QLatin1Char('@'), 0, 0);
  return name == service_ || name == bus_.baseService();
}

void StatusNotifier::itemUnregistered(const QString& entry) {
  if (registered_ && isOurs(entry)) dropped();
}

void StatusNotifier::hostRegistered() {
  if (pending_ > 0) return;
  checkListed([this](bool listed) {
    if (listed || pending_ > 0) return;
    if (registered_)
      dropped();
    else
      registerWith();
  });
}

void StatusNotifier::dropped() {
  registered_ = false;
  if (hooks_.shown) hooks_.shown(false);
  registerWith();
}

void StatusNotifier::checkListed(std::function<void(bool)> then) {
  QDBusMessage call =
      QDBusMessage::createMethodCall(WATCHER, WATCHER_PATH, PROPS_IFACE, QStringLiteral("Get"));
  call.setArguments({WATCHER, QStringLiteral("RegisteredStatusNotifierItems")});
  auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
  QObject::connect(
      pending, &QDBusPendingCallWatcher::finished, this,
      [this, then = std::move(then), epoch = epoch_](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        if (epoch != epoch_ || w->isError()) return;
        const QDBusMessage reply = w->reply();
        const QStringList list =
            reply.arguments().value(0).value<QDBusVariant>().variant().toStringList();
        then(std::any_of(list.begin(), list.end(), [this](const QString& e) { return isOurs(e); }));
      });
}

void StatusNotifier::registerWith() {
  // Never twice: one registration at a time, none while the item is held,
  // and a bounded number for each watcher.
  if (registered_ || pending_ > 0 || attempts_ >= REGISTER_ATTEMPTS) return;
  ++attempts_;
  ++pending_;
  QDBusMessage call = QDBusMessage::createMethodCall(WATCHER, WATCHER_PATH, WATCHER,
                                                     QStringLiteral("RegisterStatusNotifierItem"));
  // By the item's path, so that the watcher knows it by this connection:
  // GNOME's, given the well-known name, watches that name as well and
  // forgets the item's Id and Menu when the watch reports, which races its
  // first read of them and makes it drop the item ("Argument two may not
  // be null").
  call.setArguments({ITEM_PATH});
  auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
  QObject::connect(pending, &QDBusPendingCallWatcher::finished, this,
                   [this, epoch = epoch_](QDBusPendingCallWatcher* w) {
                     w->deleteLater();
                     if (epoch != epoch_) return;  // sent to a watcher that has gone
                     --pending_;
                     QPointer<StatusNotifier> self(this);
                     if (w->isError()) {
                       if (hooks_.shown) hooks_.shown(false);
                       if (timers_)
                         timers_->after(millis(REGISTER_RETRY_DELAY), [self, epoch] {
                           if (self && self->epoch_ == epoch) self->registerWith();
                         });
                       return;
                     }
                     registered_ = true;
                     if (hooks_.shown) hooks_.shown(true);
                     // A registration that still stands a while later counts
                     // the attempts from zero; one silently dropped is redone.
                     const unsigned serial = ++accepted_;
                     if (timers_)
                       timers_->after(millis(REGISTER_SETTLE), [self, epoch, serial] {
                         if (!self || self->epoch_ != epoch || self->accepted_ != serial) return;
                         self->checkListed([self, serial](bool listed) {
                           if (!self || self->accepted_ != serial || !self->registered_) return;
                           if (listed)
                             self->attempts_ = 0;
                           else
                             self->dropped();
                         });
                       });
                   });
}

void StatusNotifier::setFace(const Face& face) {
  if (face == face_) return;
  const bool tip = face.toolTip != face_.toolTip || face.themed != face_.themed;
  // Shells re-read the icon's accessible description, the tool tip's text,
  // with the icon.
  const bool icon = tip || face.look != face_.look;
  face_ = face;
  if (!item_) return;
  if (icon) emitSignal(ITEM_PATH, ITEM_IFACE, QStringLiteral("NewIcon"), {});
  if (tip) emitSignal(ITEM_PATH, ITEM_IFACE, QStringLiteral("NewToolTip"), {});
}

void StatusNotifier::inkChanged() {
  if (item_) emitSignal(ITEM_PATH, ITEM_IFACE, QStringLiteral("NewIcon"), {});
}

void StatusNotifier::ensureBuilt() {
  if (menu_ && menu_->actions().isEmpty() && hooks_.aboutToShow) hooks_.aboutToShow();
}

StatusNotifier::Entries StatusNotifier::snapshot() {
  Entries out;
  out[0].props.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
  QHash<QAction*, Id> before;
  before.swap(ids_);
  if (menu_) walk(menu_, 0, out, before);
  return out;
}

void StatusNotifier::walk(QMenu* menu, int id, Entries& out, QHash<QAction*, Id>& before) {
  // Shells keep the widget they made for an id and its place: GNOME's puts
  // a new entry at its index among the old ones and never moves a kept one,
  // nor remakes a separator as an entry. So an entry keeps its id only
  // while every entry before it in its menu does too, at the same place.
  auto told = shown_.find(id);
  const std::vector<int> none;
  const std::vector<int>& was = told != shown_.end() ? told->second.children : none;
  bool lined = true;
  size_t index = 0;
  for (QAction* a : menu->actions()) {
    const int kind = (a->isSeparator() ? 1 : 0) | (a->menu() ? 2 : 0);
    const Id old = before.value(a);
    lined = lined && old.id && old.kind == kind && index < was.size() && was[index] == old.id;
    const int child = lined ? old.id : nextId_++;
    // A new action may sit where a deleted one was: its id must not be
    // handed on with the address.
    if (!old.id) QObject::connect(a, &QObject::destroyed, this, [this, a] { ids_.remove(a); });
    ids_.insert(a, {child, kind});
    out[id].children.push_back(child);
    Entry& e = out[child];
    e.action = a;
    e.props = properties(a);
    if (QMenu* sub = a->menu()) walk(sub, child, out, before);
    ++index;
  }
}

void StatusNotifier::menuChanged() {
  Entries next = snapshot();
  bool layout = next.size() != shown_.size();
  for (auto n = next.begin(), o = shown_.begin(); !layout && n != next.end(); ++n, ++o)
    layout = n->first != o->first || n->second.children != o->second.children;
  // Entries that keep their id are announced property by property, also
  // when the structure changed around them: shells that cache entries by id
  // re-read only new ones after a layout update.
  QList<wire::Props> updated;
  QList<wire::Removed> removed;
  for (const auto& [id, entry] : next) {
    auto o = shown_.find(id);
    if (o == shown_.end() || id == 0) continue;
    const QVariantMap &now = entry.props, &was = o->second.props;
    bool changed = false;
    for (auto it = now.begin(); !changed && it != now.end(); ++it)
      changed = !was.contains(it.key()) || was.value(it.key()) != it.value();
    QStringList gone;
    for (auto it = was.begin(); it != was.end(); ++it)
      if (!now.contains(it.key())) gone << it.key();
    // The entry's whole set, as shells replace what they hold of it.
    if (changed) updated << wire::Props{id, now};
    if (!gone.isEmpty()) removed << wire::Removed{id, gone};
  }
  shown_ = std::move(next);
  if (layout) ++revision_;
  if (!item_) return;
  if (!updated.isEmpty() || !removed.isEmpty())
    emitSignal(MENU_PATH, MENU_IFACE, QStringLiteral("ItemsPropertiesUpdated"),
               {QVariant::fromValue(updated), QVariant::fromValue(removed)});
  if (layout) emitSignal(MENU_PATH, MENU_IFACE, QStringLiteral("LayoutUpdated"), {revision_, 0});
}

void StatusNotifier::emitSignal(const QString& path, const QString& iface, const QString& name,
                                const QVariantList& args) {
  QDBusMessage signal = QDBusMessage::createSignal(path, iface, name);
  signal.setArguments(args);
  bus_.send(signal);
}

}  // namespace ombru::menu::qt
