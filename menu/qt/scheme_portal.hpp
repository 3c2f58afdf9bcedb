#pragma once
// The desktop's light or dark preference, from the settings portal
// (org.freedesktop.portal.Settings, "org.freedesktop.appearance"
// "color-scheme"): read once, then followed through its change signal.

#include <QDBusConnection>
#include <QDBusVariant>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>

namespace ombru::menu::qt {

class ColorSchemePortal final : public QObject {
  Q_OBJECT

 public:
  // `changed` gets each preference (COLOR_SCHEME_*) that differs from the
  // last one: the first once the portal answers, then every change. No
  // portal, or one that does not know the key, gives nothing.
  ColorSchemePortal(QDBusConnection bus, std::function<void(std::uint32_t)> changed);

  std::uint32_t scheme() const { return scheme_; }

 private Q_SLOTS:
  void settingChanged(const QString& space, const QString& key, const QDBusVariant& value);

 private:
  void take(const QVariant& value);

  QDBusConnection bus_;
  std::function<void(std::uint32_t)> changed_;
  std::uint32_t scheme_;
};

}  // namespace ombru::menu::qt
