#pragma once
// All the desktop side (media controls, tray, the program's bus interface, the titles log) knows
// of the window, and all it may ask of it. The window feeds NowPlaying from its own ticks and
// handlers; the desktop side follows its signals and never reads the window's state itself.
// Everything here belongs to the UI thread.

#include <QObject>
#include <QString>
#include <optional>

#include "playback/log/thread_check.h"
#include "playback/song_save.h"
#include "playback/song_title.h"

class QIcon;
class TForm1;

namespace radiolist {

class AudioLibrary;

// What the window last saw on air. Plain values, so the desktop side's rules are tested on them.
struct OnAir {
  enum class State { Stopped, Playing };  // Playing: a stream of the channel sounds or waits

  int channel = -1;                // the current channel's name row, -1 before one was chosen
  int channels = 0;                // name rows in the list
  QString channelName;             // the text of that row ("" when it is outside the list)
  QString station;                 // the station's own name (icy-name), else the channel's name
  std::optional<SongTitle> title;  // nullopt while the station says none
  State state = State::Stopped;

  [[nodiscard]] bool onRow() const { return channel >= 0 && channel < channels; }
  friend bool operator==(const OnAir&, const OnAir&) = default;
};

class NowPlaying : public QObject {
  Q_OBJECT
 public:
  explicit NowPlaying(QObject* parent = nullptr);

  [[nodiscard]] const OnAir& now() const { return now_; }

  // For the window: what it sees now. Signals only what differs from before.
  void update(OnAir now);
  // For the window: a save that ended because its file could not be written.
  void reportSaveFailure(const SongSave& failure);

 signals:
  // The channel, its row or the number of rows changed.
  void channelChanged();
  void stationChanged();
  void titleChanged();
  void stateChanged();
  void saveFailed(const radiolist::SongSave& failure);

 private:
  OnAir now_;
  log::ThreadCheck uiThread_;  // its signals reach widgets and the bus: the UI thread's only
};

// What the desktop side may ask of the window: each runs the window's own handling of the
// matching click, its errors shown as any handler's are, and then tells NowPlaying.
class WindowControl {
 public:
  explicit WindowControl(TForm1& form);

  [[nodiscard]] NowPlaying& nowPlaying() const;
  [[nodiscard]] AudioLibrary& audio() const;
  [[nodiscard]] QIcon icon() const;

  void startOrStop();  // the START STOP button
  void start();
  void stop();
  // Chooses the name row `step` rows from the current channel as a click on it would; nothing
  // when there is no such row.
  void stepChannel(int step);
  // Shows the window in front, un-minimised.
  void show();
  void close();

 private:
  TForm1& form_;
};

}  // namespace radiolist
