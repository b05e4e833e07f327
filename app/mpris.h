#pragma once
// The desktop's media controls (MPRIS 2 on the session bus): play/pause keys, next/previous
// channel, and what is on air for the desktop's player widgets. Every action is the window's
// own handling of the matching click, run from the event loop after the bus call has returned
// (so an error box never holds a caller waiting).

#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariantMap>
#include <memory>

class TForm1;

namespace radiolist {

// What the desktop is told, derived from the window and the audio library on each refresh.
struct MprisState {
  QString playbackStatus;  // "Playing" while a stream of the channel sounds or waits for data
  QVariantMap metadata;    // mpris:trackid, xesam:title, xesam:artist
  bool canGoNext = false;
  bool canGoPrevious = false;
  friend bool operator==(const MprisState&, const MprisState&) = default;
};

[[nodiscard]] MprisState currentMprisState(const TForm1& form);

class MprisService : public QObject {
  Q_OBJECT
 public:
  // Registers "org.mpris.MediaPlayer2.radiolist" (or a per-process name when that is taken).
  // Without a session bus it returns nullptr and the program runs as before.
  static std::unique_ptr<MprisService> publish(TForm1& form);
  ~MprisService() override;

  [[nodiscard]] TForm1& form() const { return form_; }
  [[nodiscard]] const MprisState& state() const { return state_; }
  // Runs `action` on the window from the event loop, then tells the desktop what changed.
  void later(void (*action)(TForm1&));
  // Compares with what the desktop was last told and signals the differences.
  void refresh();

 private:
  MprisService(TForm1& form, QString serviceName);

  TForm1& form_;
  QString serviceName_;
  MprisState state_;
  QTimer poll_;
};

}  // namespace radiolist
