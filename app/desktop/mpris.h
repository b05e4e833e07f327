#pragma once
// The desktop's media controls (MPRIS 2 on the session bus): play/pause keys, next/previous
// channel, and what is on air for the desktop's player widgets, told as NowPlaying changes. Every
// action is the window's own handling of the matching click, run from the event loop after the
// bus call has returned (so an error box never holds a caller waiting).

#include <QObject>
#include <QString>
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

class MprisService : public QObject {
  Q_OBJECT
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
  [[nodiscard]] Player& player() const { return player_; }
  [[nodiscard]] WindowShell& window() const { return window_; }
  // The heard point in microseconds on the stream's clock (0 when nothing plays).
  [[nodiscard]] qlonglong position() const;
  // Runs `action` from the event loop; dropped when kMaxPendingActions already
  // wait.
  void later(Action action);

 private slots:
  // Compares with what the desktop was last told and signals the differences.
  void refresh();
  // What is heard jumped: the desktop is told the new position (MPRIS's Seeked).
  void jumped();

 signals:
  void seeked(qlonglong position);

 private:
  // Runs the oldest pending action; the next one gets a turn of the event loop of its own.
  void runNext();

  Player& player_;
  WindowShell& window_;
  QString serviceName_;
  MprisState state_;
  BoundedQueue<Action> pending_{kMaxPendingActions};
  bool runScheduled_ = false;
};

}  // namespace radiolist
