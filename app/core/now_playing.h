#pragma once
// What is on air, as the player core knows it from the library's events and from what the window
// tells it of its channel. The desktop side follows its signals and never reads the window's state
// itself. Everything here belongs to the UI thread.

#include <QList>
#include <QObject>
#include <QString>
#include <cstdint>
#include <optional>
#include <utility>

#include "files/outcome.h"
#include "playback/log/thread_check.h"
#include "playback/shift_state.h"
#include "playback/song_save.h"
#include "playback/song_title.h"

namespace radiolist {

// What is on air. Plain values, so the desktop side's rules are tested on them.
struct OnAir {
  // Playing: a stream of the channel sounds or waits for data; Paused: it is silent, receiving on.
  enum class State { Stopped, Playing, Paused };

  int channel = -1;                // the current channel's name row, -1 before one was chosen
  int channels = 0;                // name rows in the list
  QString channelName;             // the text of that row ("" when it is outside the list)
  QString station;                 // the station's own name (icy-name), else the channel's name
  std::optional<SongTitle> title;  // nullopt while the station says none
  State state = State::Stopped;
  // Whole seconds what is heard lags behind live (0 when live), and whether there is a past to
  // move in.
  std::uint32_t delay = 0;
  bool canSeek = false;

  [[nodiscard]] bool onRow() const { return channel >= 0 && channel < channels; }
  friend bool operator==(const OnAir&, const OnAir&) = default;
};

class NowPlaying : public QObject {
  Q_OBJECT
 public:
  explicit NowPlaying(QObject* parent = nullptr);

  [[nodiscard]] const OnAir& now() const { return now_; }

  // What is on air now. Signals only what differs from before.
  void update(OnAir now);
  // A save that ended because its file could not be written.
  void reportSaveFailure(const SongSave& failure);
  // What is heard has just been moved.
  void reportJump();

 signals:
  // The channel, its row or the number of rows changed.
  void channelChanged();
  void stationChanged();
  void titleChanged();
  void stateChanged();
  // The delay behind live, or whether one may move in the past, changed.
  void shiftChanged();
  // What is heard jumped (a move in the past, or live again): not a change of the delay alone.
  void positionJumped();
  void saveFailed(const radiolist::SongSave& failure);

 private:
  OnAir now_;
  log::ThreadCheck uiThread_;  // its signals reach widgets and the bus: the UI thread's only
};

// A channel as the two list files pair it: the name row and the address row of one index.
struct ListedStation {
  QString name;
  QString address;
  friend bool operator==(const ListedStation&, const ListedStation&) = default;
};

// What adding stations came to: how many lines each file gained, or why nothing changed, and
// what the window left out.
struct StationsAdded {
  int added = 0;
  Outcome outcome;   // Done when it went through
  int known = 0;     // addresses the list held already (or an earlier station of the same call)
  int notPlain = 0;  // addresses with characters that show nothing (text/hidden.h)
  int noRoom = 0;    // stations that would have made a list file larger than the window reads
  QString leftOut;   // for the one who asked: what was left out and why, "" when nothing was

  [[nodiscard]] static StationsAdded failed(Outcome why) {
    StationsAdded result;
    result.outcome = std::move(why);
    return result;
  }
};

}  // namespace radiolist
