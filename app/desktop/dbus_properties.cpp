#include "app/desktop/dbus_properties.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QMetaClassInfo>
#include <QXmlStreamReader>
#include <utility>

namespace radiolist {

namespace {

QByteArray classInfo(const QMetaObject* meta, const char* name) {
  const int index = meta->indexOfClassInfo(name);
  return index >= 0 ? QByteArray(meta->classInfo(index).value()) : QByteArray();
}

}  // namespace

BusProperties::BusProperties(const QDBusAbstractAdaptor& adaptor, QString path)
    : adaptor_(adaptor), path_(std::move(path)) {
  const QMetaObject* meta = adaptor.metaObject();
  interface_ = QString::fromLatin1(classInfo(meta, "D-Bus Interface"));
  QXmlStreamReader xml(classInfo(meta, "D-Bus Introspection"));
  QString property;  // the one whose element is open
  while (!xml.atEnd()) {
    xml.readNext();
    const QXmlStreamAttributes attributes = xml.attributes();
    if (xml.isStartElement() && xml.name() == u"property") {
      property = attributes.value(QLatin1String("name")).toString();
      names_.append(property);
    } else if (xml.isStartElement() && xml.name() == u"annotation" && !property.isEmpty() &&
               attributes.value(QLatin1String("name")) ==
                   u"org.freedesktop.DBus.Property.EmitsChangedSignal" &&
               attributes.value(QLatin1String("value")) != u"true") {
      names_.removeAll(property);
    } else if (xml.isEndElement() && xml.name() == u"property") {
      property.clear();
    }
  }
  for (const QString& name : std::as_const(names_)) told_.insert(name, read(name));
}

QVariant BusProperties::read(const QString& name) const {
  return adaptor_.property(name.toLatin1().constData());
}

void BusProperties::tell() {
  QVariantMap changed;
  for (const QString& name : std::as_const(names_)) {
    QVariant now = read(name);
    if (now == told_.value(name)) continue;
    told_.insert(name, now);
    changed.insert(name, std::move(now));
  }
  if (changed.isEmpty()) return;
  QDBusMessage signal =
      QDBusMessage::createSignal(path_, QStringLiteral("org.freedesktop.DBus.Properties"),
                                 QStringLiteral("PropertiesChanged"));
  signal << interface_ << changed << QStringList();
  QDBusConnection::sessionBus().send(signal);
}

}  // namespace radiolist
