#include "app/desktop/dbus_properties.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>

namespace radiolist {

void sendPropertiesChanged(const QString& path, const QString& interface,
                           const QVariantMap& changed) {
  if (changed.isEmpty()) return;
  QDBusMessage signal = QDBusMessage::createSignal(
      path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"));
  signal << interface << changed << QStringList();
  QDBusConnection::sessionBus().send(signal);
}

}  // namespace radiolist
