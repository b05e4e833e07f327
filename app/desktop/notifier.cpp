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

QString Notifier::bodyText(const QString& text, bool markup) {
  const QString one = capped(text);
  if (!markup) return one;
  // Only what markup reads: quotes stay as sent, since some servers show their entities as is.
  QString out;
  out.reserve(one.size() + 16);
  for (const QChar c : one) {
    if (c == u'&')
      out += QStringLiteral("&amp;");
    else if (c == u'<')
      out += QStringLiteral("&lt;");
    else if (c == u'>')
      out += QStringLiteral("&gt;");
    else
      out += c;
  }
  return out;
}

Notifier::Notifier(QDBusConnection bus, const QImage& icon, QString iconName, QObject* parent)
    : QObject(parent),
      bus_(std::move(bus)),
      image_(imageHint(icon)),
      iconName_(std::move(iconName)) {
  listen(true);
}

void Notifier::setBus(QDBusConnection bus) {
  listen(false);
  bus_ = std::move(bus);
  markup_.reset();  // another server, perhaps
  shownKey_.clear();
  listen(true);
}

void Notifier::listen(bool on) {
  if (!bus_.isConnected()) return;
  // A match rule on the bus daemon only: any server's signal reaches this object, whose id it
  // then checks.
  const QString name = QStringLiteral("ActionInvoked");
  if (on)
    bus_.connect({}, kPath, kService, name, this, SLOT(serverActionInvoked(uint, QString)));
  else
    bus_.disconnect({}, kPath, kService, name, this, SLOT(serverActionInvoked(uint, QString)));
}

void Notifier::serverActionInvoked(uint id, const QString& key) {
  // Only the button of the note shown now: an older one's id is the same (each note replaces the
  // last), so the key tells it from a note that asked nothing.
  if (id == 0 || id != id_ || shownKey_.isEmpty() || key != QLatin1String("yes")) return;
  emit actionInvoked(std::exchange(shownKey_, {}));
}

void Notifier::show(const Note& note) {
  if (calling_) {
    waiting_ = note;
    return;
  }
  send(note);
}

void Notifier::send(const Note& note) {
  if (!bus_.isConnected()) return;
  if (markup_)
    sendNow(note, *markup_);
  else
    askCapabilities(note);
}

void Notifier::call(const QDBusMessage& message,
                    std::function<void(QDBusPendingCallWatcher*)> answered) {
  calling_ = true;
  auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(message, kCallTimeoutMs), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, answered = std::move(answered)](QDBusPendingCallWatcher* w) {
            w->deleteLater();
            calling_ = false;
            answered(w);
          });
}

void Notifier::askCapabilities(const Note& note) {
  call(QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("GetCapabilities")),
       [this, note](QDBusPendingCallWatcher* w) {
         const QDBusPendingReply<QStringList> reply = *w;
         // A server that cannot say is told in markup: escaped text is the safe side. Asked
         // again next time, as it may be another server by then.
         if (!reply.isError()) markup_ = reply.value().contains(QStringLiteral("body-markup"));
         const Note newest = waiting_ ? *std::exchange(waiting_, std::nullopt) : note;
         sendNow(newest, markup_.value_or(true));
       });
}

void Notifier::sendNow(const Note& note, bool markup) {
  QDBusMessage message =
      QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
  QVariantMap hints;
  hints.insert(QStringLiteral("suppress-sound"), true);
  hints.insert(QStringLiteral("desktop-entry"), iconName_);
  if (image_.isValid()) hints.insert(QStringLiteral("image-data"), image_);
  QStringList actions;  // key, label: a body click ("default") is no yes
  if (!note.action.isEmpty()) actions << QStringLiteral("yes") << capped(note.action);
  // app name, replaces id, app icon, summary (plain text always), body, actions, hints, timeout
  message << QStringLiteral("radiolist") << id_ << iconName_ << capped(note.summary)
          << bodyText(note.body, markup) << actions << hints << -1;
  shownKey_.clear();  // whatever asked before is replaced
  call(message, [this, key = note.action.isEmpty() ? QString()
                                                   : note.actionKey](QDBusPendingCallWatcher* w) {
    const QDBusPendingReply<uint> reply = *w;
    const bool ok = !reply.isError();
    if (ok) {
      id_ = reply.value();
      shownKey_ = key;
    } else if (!warned_) {
      warned_ = true;
      log::write(kDesktopLog, "no notification shown: ", reply.error().message().toStdString());
    }
    emit answered(ok);
    if (waiting_) send(*std::exchange(waiting_, std::nullopt));
  });
}

}  // namespace radiolist
