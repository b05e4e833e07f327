#pragma once
// The player core: what the desktop side and the window's additions ask of the player (play,
// stop, pause, seek, step, save, levelling, volume, retry, stations), and NowPlaying, fed by the
// library's events (playback/playback_controls.h), which it takes on its own thread when the
// library wakes it. The window keeps the nine designed calls; what only it knows (its current
// channel and that channel's two streams) it offers through PlayerWindow and tells after each of
// its handlers. Qt Core only: the window and the desktop side stand on it.

#include <QList>
#include <QObject>
#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "app/core/now_playing.h"
#include "playback/playback_controls.h"

class QIcon;
class QWidget;

namespace radiolist {

// The window's current channel as it stands now.
struct ChannelView {
  int channel = -1;  // its name row (ChannelIndex)
  int channels = 0;  // name rows in the list
  QString channelName;
  std::optional<QString> station;  // the icy-name of its response head, as Label1 shows it
  DWORD general = 0;               // StreamHandle
  DWORD aac = 0;                   // AacStreamHandle
  bool active = false;             // one of the two sounds or waits for data
  // The address list's row the two streams were created from and its address then; -1 (and the
  // address) when they were created for an address outside the list (a station found in the
  // directory and played from there).
  int streamRow = -1;
  QString streamAddress{};
};

// A list line whose stream looks gone for good, as the window's lists hold it now.
struct GoneLine {
  int row = -1;  // in both lists
  QString name;
  QString address;
  StreamGone why = StreamGone::NotFound;
};

// What the core asks of the window: each runs the window's own handling of the matching click
// (its errors shown as any handler's are) and then tells the core (Player::windowChanged).
class PlayerWindow {
 public:
  virtual ~PlayerWindow() = default;
  [[nodiscard]] virtual ChannelView channelView() const = 0;
  virtual void startOrStop() = 0;  // the START STOP button
  virtual void start() = 0;
  virtual void stop() = 0;
  // Chooses the name row `step` rows from the current channel as a click on it would.
  virtual void stepChannel(int step) = 0;
  // Name and address of each index both lists have.
  [[nodiscard]] virtual QList<ListedStation> stations() const = 0;
  // Appends the stations whose address the list does not hold yet at the end of both lists and
  // saves both files off the UI thread; `done` gets the result on the UI thread once both are on
  // disk (what is left out and why: the window's WindowControl).
  virtual void addStations(const QList<ListedStation>& stations,
                           std::function<void(const StationsAdded&)> done) = 0;
  // Plays `address`, which need not be in the list, as START plays the selected row: both
  // streams created and played for it; the list and its selection stay as they are.
  virtual void playAddress(const QString& address) = 0;
  // Puts `now` in place of the address on `row` and saves the address list as the window saves
  // an addition (off the UI thread, atomically; the name list is not written), when that row
  // still holds `old`; false, and `done` is never called, when it does not. `done` gets what the
  // save came to on the UI thread; a failed save puts `old` back on the row.
  [[nodiscard]] virtual bool replaceAddress(int row, const QString& old, const QString& now,
                                            std::function<void(const Outcome&)> done) = 0;
};

// What is the window's widget alone, for the desktop side (which never sees the window's code).
class WindowShell {
 public:
  virtual ~WindowShell() = default;
  // Shows the window in front, un-minimised.
  virtual void show() = 0;
  virtual void close() = 0;
  // The window itself, to parent a dialog.
  [[nodiscard]] virtual QWidget* widget() const = 0;
  // Shows an error box as the window's handlers do (the program's caption, one OK button).
  virtual void showError(const QString& message) const = 0;
  [[nodiscard]] virtual QIcon icon() const = 0;
  // Drag-and-drop onto the window and its two lists goes to `filter`'s eventFilter.
  virtual void acceptDrops(QObject* filter) = 0;
  // Every event of the window and of each widget in it goes to `filter`'s eventFilter first: the
  // program's menu is opened from any of them (a right click, the Menu key, Shift+F10).
  virtual void watchForMenu(QObject* filter) = 0;
};

class Player : public QObject {
  Q_OBJECT
 public:
  explicit Player(PlaybackControls& controls, QObject* parent = nullptr);

  [[nodiscard]] NowPlaying& nowPlaying() { return nowPlaying_; }
  [[nodiscard]] const NowPlaying& nowPlaying() const { return nowPlaying_; }
  // The window the core acts through; nullptr when it goes.
  void attachWindow(PlayerWindow* window);
  // For the window, after each of its handlers: its channel or streams may have changed.
  void windowChanged();

  void startOrStop() {
    if (window_ != nullptr) window_->startOrStop();
  }
  void start() {
    if (window_ != nullptr) window_->start();
  }
  void stop() {
    if (window_ != nullptr) window_->stop();
  }
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
  void stepChannel(int step) {
    if (window_ != nullptr) window_->stepChannel(step);
  }

  void setVolume(float volume) { controls_.SetVolume(volume); }  // 0 to 1, for a fade
  void retryNow() { controls_.RetryNow(); }                      // the machine has just woken up
  // `address` came from a public directory: it connects to public hosts only when played.
  void holdToPublicHosts(const QString& address) {
    controls_.HoldToPublicHosts(address.toStdString());
  }
  void setLevelLoudness(bool on) { controls_.SetLevelLoudness(on); }
  // Starts saving the song heard into `directory`. Waits for the disk: call it from a thread of
  // its own, never the window's.
  [[nodiscard]] SongSave saveSong(const std::string& directory) {
    return controls_.SaveSong(directory);
  }

  [[nodiscard]] QList<ListedStation> stations() const {
    return window_ != nullptr ? window_->stations() : QList<ListedStation>{};
  }
  // The window goes only as the program ends, with the event loop that would answer.
  void addStations(const QList<ListedStation>& stations,
                   std::function<void(const StationsAdded&)> done) {
    if (window_ != nullptr) window_->addStations(stations, std::move(done));
  }
  // A station found outside the list (the directory's search), played on the usual path.
  void playAddress(const QString& address) {
    if (window_ != nullptr) window_->playAddress(address);
  }
  // PlayerWindow::replaceAddress; false without a window.
  [[nodiscard]] bool replaceAddress(int row, const QString& old, const QString& now,
                                    std::function<void(const Outcome&)> done) {
    return window_ != nullptr && window_->replaceAddress(row, old, now, std::move(done));
  }
  // Whether `url` plays now (PlaybackControls::StreamPlays): waits for the network, so never on
  // the window's thread.
  [[nodiscard]] bool streamPlays(const std::string& url, bool publicOnly) {
    return controls_.StreamPlays(url, publicOnly);
  }

 signals:
  // The library found the address of the current channel's list line gone for good (told for
  // each of the channel's two streams). Not told for an address played from outside the list,
  // nor when the line no longer holds the address the streams were created from.
  void lineGone(const radiolist::GoneLine& line);

 private:
  // What the library told of one of the channel's two streams.
  struct Heard {
    DWORD handle = 0;
    std::optional<SongTitle> title;
    std::optional<ShiftState> shift;
    std::string station;  // its icy-name, "" while it has told none
  };
  // Takes the library's events and tells NowPlaying what changed; `poll` asks the library too.
  void follow(bool poll);
  void apply(const PlaybackEvent& event);
  void noteGone(const ChannelView& view, const PlaybackEvent& event);
  // The handle of the channel's stream that sounds (the general or the AAC one), 0 when none.
  [[nodiscard]] DWORD soundingHandle() const;

  PlaybackControls& controls_;
  PlayerWindow* window_ = nullptr;
  NowPlaying nowPlaying_;
  std::array<Heard, 2> heard_;  // the general stream's, the AAC stream's
};

}  // namespace radiolist
