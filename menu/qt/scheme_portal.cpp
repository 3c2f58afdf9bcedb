#include "scheme_portal.hpp"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QPointer>

#include "core/constants.hpp"

namespace ombru::menu::qt {
namespace {

const QString PORTAL = QStringLiteral("org.freedesktop.portal.Desktop");
const QString PORTAL_PATH = QStringLiteral("/org/freedesktop/portal/desktop");
const QString SETTINGS = QStringLiteral("org.freedesktop.portal.Settings");
const QString APPEARANCE = QStringLiteral("org.freedesktop.appearance");
const QString COLOR_SCHEME = QStringLiteral("color-scheme");

// Read wraps the value in one variant more than the signal does (older
// portals); either way the innermost value is the number.
QVariant innermost(QVariant v) {
  for (int depth = 0; depth < 4; ++depth) {
    if (v.userType() == qMetaTypeId<QDBusVariant>())
      v = v.value<QDBusVariant>().variant();
    else if (v.userType() == qMetaTypeId<QDBusArgument>()) {
      const QDBusArgument a = v.value<QDBusArgument>();
      if (a.currentType() != QDBusArgument::VariantType) break;
      QDBusVariant inner;
      a >> inner;
      v = inner.variant();
    } else {
      break;
    }
  }
  return v;
}

}  // namespace

ColorSchemePortal::ColorSchemePortal(QDBusConnection bus,
                                     std::function<void(std::uint32_t)> changed)
    : bus_(std::move(bus)), changed_(std::move(changed)), scheme_(COLOR_SCHEME_NONE) {
  if (!bus_.isConnected()) return;
  // The slot's argument types must be known by name before QtDBus matches
  // the signal to it, or it drops the signal without a word.
  qRegisterMetaType<QDBusVariant>();
  bus_.connect(PORTAL, PORTAL_PATH, SETTINGS, QStringLiteral("SettingChanged"), this,
               SLOT(settingChanged(QString, QString, QDBusVariant)));
  QDBusMessage call =
      QDBusMessage::createMethodCall(PORTAL, PORTAL_PATH, SETTINGS, QStringLiteral("Read"));
  call.setArguments({APPEARANCE, COLOR_SCHEME});
  auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
  QObject::connect(pending, &QDBusPendingCallWatcher::finished, this,
                   [this](QDBusPendingCallWatcher* w) {
                     w->deleteLater();
                     if (!w->isError()) take(w->reply().arguments().value(0));
                   });
}

void ColorSchemePortal::settingChanged(const QString& space, const QString& key,
                                       const QDBusVariant& value) {
  if (space == APPEARANCE && key == COLOR_SCHEME) take(value.variant());
}

void ColorSchemePortal::take(const QVariant& value) {
  const QVariant v = innermost(value);
  // The portal sends a uint32; anything else is no answer.
  const bool ok = v.typeId() == QMetaType::UInt;
  const uint scheme = ok ? v.toUInt() : 0;
  // Values beyond the three known ones mean no preference.
  const std::uint32_t next = ok && (scheme == COLOR_SCHEME_DARK || scheme == COLOR_SCHEME_LIGHT)
                                 ? scheme
                                 : COLOR_SCHEME_NONE;
  if (!ok || next == scheme_) return;
  scheme_ = next;
  if (changed_) changed_(scheme_);
}

}  // namespace ombru::menu::qt
