#pragma once
// The desktop's media controls (MPRIS 2 on the session bus): play/pause keys, next/previous
// channel, and what is on air for the desktop's player widgets, told as NowPlaying changes. Every
// action is the window's own handling of the matching click, run from the event loop after the
// bus call has returned (so an error box never holds a caller waiting).

#include <QDBusObjectPath>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <functional>
#include <memory>

#include "app/desktop/bounded_queue.h"
#include "app/core/player.h"

namespace radiolist {

// What the desktop is told of what is on air.
struct MprisState {
  QString playbackStatus;  // "Playing" while a stream of the channel sounds or waits for data
  QVariantMap metadata;    // mpris:trackid, xesam:title, xesam:artist
  bool canGoNext = false;
  bool canGoPrevious = false;
  bool canSeek = false;  // the channel plays and its stream kept a past to move in
  friend bool operator==(const MprisState&, const MprisState&) = default;
};

[[nodiscard]] MprisState mprisStateOf(const OnAir& now);

class BusProperties;

// org.mpris.MediaPlayer2 and org.mpris.MediaPlayer2.Player (interfaces/), on the adaptors the
// build generates from them, which read the properties and call the methods below.
class MprisService : public QObject {
  Q_OBJECT
  Q_PROPERTY(bool CanQuit READ yes CONSTANT)
  Q_PROPERTY(bool CanRaise READ yes CONSTANT)
  Q_PROPERTY(bool HasTrackList READ no CONSTANT)
  Q_PROPERTY(QString Identity READ identity CONSTANT)
  Q_PROPERTY(QString DesktopEntry READ identity CONSTANT)
  Q_PROPERTY(QStringList SupportedUriSchemes READ schemes CONSTANT)
  Q_PROPERTY(QStringList SupportedMimeTypes READ mimeTypes CONSTANT)

  Q_PROPERTY(QString PlaybackStatus READ playbackStatus)
  Q_PROPERTY(double Rate READ one CONSTANT)
  Q_PROPERTY(double MinimumRate READ one CONSTANT)
  Q_PROPERTY(double MaximumRate READ one CONSTANT)
  Q_PROPERTY(double Volume READ one CONSTANT)
  Q_PROPERTY(QVariantMap Metadata READ metadata)
  Q_PROPERTY(qlonglong Position READ position)
  Q_PROPERTY(bool CanGoNext READ canGoNext)
  Q_PROPERTY(bool CanGoPrevious READ canGoPrevious)
  Q_PROPERTY(bool CanPlay READ yes CONSTANT)
  Q_PROPERTY(bool CanPause READ yes CONSTANT)
  Q_PROPERTY(bool CanSeek READ canSeek)
  Q_PROPERTY(bool CanControl READ yes CONSTANT)

 public:
  using Action = std::function<void()>;
  static constexpr std::size_t kMaxPendingActions = 16;

  // Registers "org.mpris.MediaPlayer2.radiolist" (or a per-process name when that is taken).
  // Without a session bus it returns nullptr and the program runs as before.
  static std::unique_ptr<MprisService> publish(Player& player, WindowShell& window);
  // Not on the bus until publish() registers it (tests drive it directly).
  MprisService(Player& player, WindowShell& window, QString serviceName);
  ~MprisService() override;

  [[nodiscard]] const MprisState& state() const { return state_; }
  // The heard point in microseconds on the stream's clock (0 when nothing plays).
  [[nodiscard]] qlonglong position() const;
  // Runs `action` from the event loop; dropped when kMaxPendingActions already wait.
  void later(Action action);

  // The methods: each action runs from the event loop after the bus call has returned (so an
  // error box never holds a caller waiting). Pause keeps receiving; Play goes on from where it
  // paused (or starts the channel); Stop is the window's stop; Seek stays within what the stream
  // kept, never past live; SetPosition is ignored for another track than the one playing.
  void Raise();
  void Quit();
  void PlayPause();
  void Play();
  void Pause();
  void Stop();
  void Next();
  void Previous();
  void Seek(qlonglong offset);
  void SetPosition(const QDBusObjectPath& track, qlonglong position);
  void OpenUri(const QString& /*uri*/) {}

 signals:
  void Seeked(qlonglong Position);

 private slots:
  // Compares with what the desktop was last told and signals the differences.
  void refresh();
  // What is heard jumped: the desktop is told the new position (MPRIS's Seeked).
  void jumped();

 private:
  [[nodiscard]] static bool yes() { return true; }
  [[nodiscard]] static bool no() { return false; }
  [[nodiscard]] static double one() { return 1.0; }
  [[nodiscard]] static QString identity() { return QStringLiteral("radiolist"); }
  [[nodiscard]] static QStringList schemes() {
    return {QStringLiteral("http"), QStringLiteral("https")};
  }
  [[nodiscard]] static QStringList mimeTypes() { return {}; }
  [[nodiscard]] QString playbackStatus() const { return state_.playbackStatus; }
  [[nodiscard]] QVariantMap metadata() const { return state_.metadata; }
  [[nodiscard]] bool canGoNext() const { return state_.canGoNext; }
  [[nodiscard]] bool canGoPrevious() const { return state_.canGoPrevious; }
  [[nodiscard]] bool canSeek() const { return state_.canSeek; }
  // Runs the oldest pending action; the next one gets a turn of the event loop of its own.
  void runNext();

  Player& player_;
  WindowShell& window_;
  QString serviceName_;
  MprisState state_;
  std::unique_ptr<BusProperties> properties_;  // the Player interface's
  BoundedQueue<Action> pending_{kMaxPendingActions};
  bool runScheduled_ = false;
};

}  // namespace radiolist
