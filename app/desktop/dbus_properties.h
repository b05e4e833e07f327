#pragma once
// org.freedesktop.DBus.Properties.PropertiesChanged, as every interface of the program sends it.

#include <QString>
#include <QVariantMap>

namespace radiolist {

// Tells the session bus that `changed` properties of `interface` at `path` took these values;
// nothing when `changed` is empty.
void sendPropertiesChanged(const QString& path, const QString& interface,
                           const QVariantMap& changed);

}  // namespace radiolist
