#include "app/desktop/notifier.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>
#include <utility>

#include "app/log_domain.h"
#include "playback/log/log.h"

namespace radiolist {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
// The picture is made this size at most: the hint is sent with every notification.
constexpr int kIconSide = 64;

QString capped(const QString& text) {
  const QString one = text.simplified();
  return one.size() > Notifier::kMaxText ? one.left(Notifier::kMaxText - 1) + u'…' : one;
}

// The notification body is markup to many servers: the title is the station's text.
QString plain(const QString& text) { return capped(text).toHtmlEscaped(); }

// The "image-data" hint, (iiibiiay): width, height, row stride, alpha, bits, channels, pixels.
QVariant imageHint(const QImage& icon) {
  if (icon.isNull()) return {};
  const QImage rgba =
      icon.scaled(kIconSide, kIconSide, Qt::KeepAspectRatio, Qt::SmoothTransformation)
          .convertToFormat(QImage::Format_RGBA8888);
  QDBusArgument arg;
  arg.beginStructure();
  arg << rgba.width() << rgba.height() << static_cast<int>(rgba.bytesPerLine()) << true << 8 << 4
      << QByteArray(reinterpret_cast<const char*>(rgba.constBits()),
                    static_cast<qsizetype>(rgba.sizeInBytes()));
  arg.endStructure();
  return QVariant::fromValue(arg);
}

}  // namespace

std::optional<Notifier::Note> Notifier::decide(const Moment& moment) {
  if (!moment.enabled || moment.windowActive) return std::nullopt;
  const QString title = capped(moment.title);
  if (title.isEmpty()) return std::nullopt;  // the station says nothing, or stopped
  QString station = capped(moment.station);
  if (station.isEmpty()) station = QStringLiteral("radiolist");
  return Note{station, title};
}

Notifier::Notifier(QDBusConnection bus, const QImage& icon, QString iconName, QObject* parent)
    : QObject(parent),
      bus_(std::move(bus)),
      image_(imageHint(icon)),
      iconName_(std::move(iconName)) {}

void Notifier::show(const Note& note) {
  if (calling_) {
    waiting_ = note;
    return;
  }
  send(note);
}

void Notifier::send(const Note& note) {
  if (!bus_.isConnected()) return;
  QDBusMessage call =
      QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
  QVariantMap hints;
  hints.insert(QStringLiteral("suppress-sound"), true);
  hints.insert(QStringLiteral("desktop-entry"), iconName_);
  if (image_.isValid()) hints.insert(QStringLiteral("image-data"), image_);
  // app name, replaces id, app icon, summary, body, actions, hints, timeout (the server's)
  call << QStringLiteral("radiolist") << id_ << iconName_ << capped(note.summary)
       << plain(note.body) << QStringList() << hints << -1;
  calling_ = true;
  auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, kCallTimeoutMs), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
    w->deleteLater();
    calling_ = false;
    const QDBusPendingReply<uint> reply = *w;
    const bool ok = !reply.isError();
    if (ok) {
      id_ = reply.value();
    } else if (!warned_) {
      warned_ = true;
      log::write(kDesktopLog, "no notification shown: ", reply.error().message().toStdString());
    }
    emit answered(ok);
    if (waiting_) send(*std::exchange(waiting_, std::nullopt));
  });
}

}  // namespace radiolist
