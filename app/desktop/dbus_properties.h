#pragma once
// The one place the program's bus objects tell of changed properties
// (org.freedesktop.DBus.Properties.PropertiesChanged). The properties are those of an adaptor's
// interface as its introspection XML declares them (interfaces/), less the ones it marks as never
// signalled (EmitsChangedSignal "false" or "const", such as MPRIS's Position).

#include <QString>
#include <QStringList>
#include <QVariantMap>

class QDBusAbstractAdaptor;

namespace radiolist {

class BusProperties {
 public:
  // Follows `adaptor`'s properties at `path`, taking their values now as told.
  BusProperties(const QDBusAbstractAdaptor& adaptor, QString path);

  // Reads every followed property through the adaptor and tells the session bus those that
  // differ from what it told last; nothing when none does.
  void tell();

  [[nodiscard]] const QStringList& followed() const { return names_; }

 private:
  [[nodiscard]] QVariant read(const QString& name) const;

  const QDBusAbstractAdaptor& adaptor_;
  QString path_;
  QString interface_;
  QStringList names_;
  QVariantMap told_;
};

}  // namespace radiolist
