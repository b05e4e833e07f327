#pragma once
// Stations that come in from outside the window: playlists, other players' station lists and
// addresses dropped onto it, given on the command line or over the bus; and the list going out
// again as an extended M3U. Files are read and written on a thread of their own; the lists change
// on the UI thread, through the window.

#include <QObject>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <functional>

#include "app/core/player.h"
#include "playback/formats/stations.h"

namespace radiolist {

// What the files and addresses of one request hold, or why they cannot be read (then nothing of
// the request is added). Reads files: not for the UI thread.
struct GatheredStations {
  QList<ListedStation> stations;  // named (a nameless one after its host), at most the cap
  Outcome error;                  // Done when they could be read
  formats::LeftOut leftOut;       // what the files and addresses named but `stations` does not hold
  // Files left out whole: with those before them they came to more than kMaxImportBytes.
  QStringList filesLeftOut;
};
[[nodiscard]] GatheredStations gatherStations(const QStringList& items);

// What was left out and why, in the user's words, into `added.leftOut`: the reasons of the files
// and of the window; nothing when all that was left out was in the list already. When nothing
// was added, the outcome is NothingAdded.
void tellLeftOut(const GatheredStations& gathered, StationsAdded& added);

// The result as a drop and the command line tell it: a box with the error, else with what was
// left out, else nothing.
void tellResult(const WindowShell& window, const StationsAdded& result);

// Writes `stations` as an extended M3U to `path`, atomically (a file beside it, synced, renamed
// over it): Done or why not. A path that is there but not a regular file is refused without
// waiting on it. Writes to disk: not for the UI thread.
[[nodiscard]] Outcome exportStations(const QString& path, const QList<ListedStation>& stations);

class StationIntake : public QObject {
  Q_OBJECT
 public:
  StationIntake(Player& player, WindowShell& window);
  ~StationIntake() override;

  // Adds the stations of `items` (file paths, file: URLs, http/https addresses); `done` gets the
  // result on this object's thread.
  void add(QStringList items, std::function<void(const StationsAdded&)> done);
  // Writes the list to `path`; `done` gets what it came to on this object's thread.
  void exportTo(QString path, std::function<void(const Outcome&)> done);

 protected:
  // Drops onto the window and its lists: files and addresses are added, errors shown in a box.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  Player& player_;
  WindowShell& window_;
  QThreadPool disk_;  // one thread: reads and writes in the order asked
};

}  // namespace radiolist
