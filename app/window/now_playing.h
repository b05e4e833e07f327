#pragma once
// All the desktop side (media controls, tray, the program's bus interface, the titles log) knows
// of the window, and all it may ask of it. The window feeds NowPlaying from its own ticks and
// handlers; the desktop side follows its signals and never reads the window's state itself.
// Everything here belongs to the UI thread.

#include <QList>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>

#include "files/outcome.h"
#include "playback/log/thread_check.h"
#include "playback/shift_state.h"
#include "playback/song_save.h"
#include "playback/song_title.h"

class QIcon;
class QWidget;
class TForm1;

namespace radiolist {

class AudioLibrary;

// What the window last saw on air. Plain values, so the desktop side's rules are tested on them.
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

  // For the window: what it sees now. Signals only what differs from before.
  void update(OnAir now);
  // For the window: a save that ended because its file could not be written.
  void reportSaveFailure(const SongSave& failure);
  // For the window: what is heard has just been moved.
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
  // Pausing live radio and moving in what the channel's stream kept (the window's button and
  // state stay as they are: a paused channel is still started). pause() does nothing unless the
  // channel plays; play() resumes a paused channel, starts a stopped one as start() does, and
  // leaves one that plays alone; playPause() pauses one that plays (stops one still connecting,
  // which has nothing to pause yet), else plays.
  void pause();
  void play();
  void playPause();
  // Moves what is heard `us` microseconds (back when negative), or to `us` on the stream's clock
  // (ShiftState), or live. Nothing when the channel does not play.
  void seekBy(std::int64_t us);
  void seekTo(std::int64_t us);
  void goLive();
  // Where the listener stands in the channel's stream; nothing when it does not play.
  [[nodiscard]] std::optional<ShiftState> shift() const;
  // Chooses the name row `step` rows from the current channel as a click on it would; nothing
  // when there is no such row.
  void stepChannel(int step);
  // Shows the window in front, un-minimised.
  void show();
  void close();
  // The window itself, to parent a dialog.
  [[nodiscard]] QWidget* widget() const;
  // Shows an error box as the window's handlers do (the program's caption, one OK button).
  void showError(const QString& message) const;

  // The list as its rows hold it: name and address of each index both lists have.
  [[nodiscard]] QList<ListedStation> stations() const;
  // Appends the stations whose address the list does not hold yet (nor an earlier one of
  // `stations`) at the end of both lists at once, and saves both files off the UI thread
  // (list_saver.h); `done` gets the result on the UI thread once both are on disk. Both files
  // gain the same lines or neither does: lists of unequal length are refused, and so are list
  // files the window could not read; a failed save puts back what was saved before it and takes
  // the rows back. Names have their hidden characters (text/hidden.h) replaced by '_', addresses
  // holding one are left out, and so are the stations past what a list file may hold
  // (kMaxListFileBytes); names must be one line.
  void addStations(const QList<ListedStation>& stations,
                   std::function<void(const StationsAdded&)> done);
  // Drag-and-drop onto the window and its two lists goes to `filter`'s eventFilter.
  void acceptDrops(QObject* filter);

 private:
  // The handle of the channel's stream that sounds (the general or the AAC one), 0 when none.
  [[nodiscard]] std::uint32_t soundingHandle() const;
  TForm1& form_;
};

}  // namespace radiolist
