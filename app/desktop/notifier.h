#pragma once
// A desktop notification of the title on air (org.freedesktop.Notifications on the session bus):
// one at a time, each replacing the one before, without a sound. Every call is asynchronous and
// bounded: with no notification server, or one that fails or never answers, nothing is shown and
// nothing waits.

#include <QDBusConnection>
#include <QImage>
#include <QObject>
#include <QString>
#include <functional>
#include <utility>
#include <cstdint>
#include <optional>

class QDBusMessage;
class QDBusPendingCallWatcher;

namespace radiolist {

class Notifier : public QObject {
  Q_OBJECT
 public:
  // What a notification says: the station as its summary, the title as its body; and, for a
  // question, the button that answers yes (`action`, "" for none: a server without buttons shows
  // none), told back with `actionKey` when pressed.
  struct Note {
    QString summary;
    QString body;
    QString action{};
    QString actionKey{};
    friend bool operator==(const Note&, const Note&) = default;
  };
  // What the decision looks at when the title heard changes.
  struct Moment {
    bool enabled = true;        // "Notify on new titles"
    bool windowActive = false;  // the user is looking at the window: it shows the title already
    QString station;
    QString title;
  };
  // Longest summary and body sent, in characters: a station's texts are the station's.
  static constexpr qsizetype kMaxText = 200;
  // How long a call may stay unanswered before the next one may go.
  static constexpr int kCallTimeoutMs = 5000;

  // The notification to send at this moment, if any. Pure.
  [[nodiscard]] static std::optional<Note> decide(const Moment& moment);
  // The body as sent: one line, capped, and, to a server that reads markup in the body, with
  // '&', '<' and '>' escaped so that a title shows as the station sent it. Pure.
  [[nodiscard]] static QString bodyText(const QString& text, bool markup);

  // `icon` is sent as the notification's picture; `iconName` as its application icon.
  Notifier(QDBusConnection bus, const QImage& icon, QString iconName, QObject* parent = nullptr);

  // Shows `note`, replacing the notification shown before. While a call is unanswered, only the
  // newest note waits, sent once the answer (or the timeout) is in.
  void show(const Note& note);

  // The bus whose notification server is told from now on (the one given at the start by default).
  void setBus(QDBusConnection bus);

  // The server's id of the notification shown last; 0 before one was.
  [[nodiscard]] std::uint32_t shownId() const { return id_; }

 signals:
  // A call was answered (or failed): for tests and logs.
  void answered(bool ok);
  // The button of the note shown now was pressed: its actionKey.
  void actionInvoked(const QString& actionKey);

 private slots:
  void serverActionInvoked(uint id, const QString& key);

 private:
  void listen(bool on);
  void send(const Note& note);
  // Asks the server whether it reads markup in the body, then sends `note`.
  void askCapabilities(const Note& note);
  void sendNow(const Note& note, bool markup);
  void call(const QDBusMessage& message, std::function<void(QDBusPendingCallWatcher*)> answered);

  QDBusConnection bus_;
  QVariant image_;  // the "image-data" hint, made once
  QString iconName_;
  std::uint32_t id_ = 0;
  bool calling_ = false;
  std::optional<bool> markup_;  // the server reads markup in the body; unknown until it said
  std::optional<Note> waiting_;
  QString shownKey_;     // the actionKey of the note shown now, "" when it asks nothing
  bool warned_ = false;  // a missing server is logged once
};

}  // namespace radiolist
