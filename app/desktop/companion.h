#pragma once
// What the program offers beside its window: saving the song on air, the log of titles heard,
// the sleep timer, the program's menu of them (on the tray icon and on the window: a right click,
// the Menu key, Shift+F10), streams connected again at once after a resume (logind), and the same
// on the session bus (org.radiolist.Radiolist1 at /org/radiolist/Radiolist). Without a tray host
// there is no icon, without a session bus no interface; the rest works either way and the window
// is drawn as designed.

#include <QDBusArgument>
#include <QDBusContext>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QStringList>
#include <QHash>
#include <QPointer>
#include <QThreadPool>
#include <QVariantMap>
#include <deque>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "app/desktop/directory_ids.h"
#include "app/desktop/find_stations.h"
#include "app/desktop/notifier.h"
#include "app/desktop/recent_titles.h"
#include "app/desktop/settings_file.h"
#include "app/desktop/sleep_timer.h"
#include "app/desktop/station_mender.h"
#include "app/desktop/station_intake.h"
#include "app/desktop/window_menu.h"
#include "app/core/player.h"
#include "playback/song_save.h"

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace radiolist {

// One title on the bus: (unix time, station, title), signature (xss).
struct BusTitle {
  qint64 time = 0;
  QString station;
  QString title;
};
QDBusArgument& operator<<(QDBusArgument& out, const BusTitle& t);
const QDBusArgument& operator>>(const QDBusArgument& in, BusTitle& t);

// A station that moved, on the bus: (row, old address, new address), signature (uss).
struct BusMovedStation {
  uint row = 0;
  QString oldAddress;
  QString newAddress;
  friend bool operator==(const BusMovedStation&, const BusMovedStation&) = default;
};
QDBusArgument& operator<<(QDBusArgument& out, const BusMovedStation& m);
const QDBusArgument& operator>>(const QDBusArgument& in, BusMovedStation& m);

class BusProperties;

class Companion : public QObject, protected QDBusContext {
  Q_OBJECT
  // org.radiolist.Radiolist1 (interfaces/org.radiolist.Radiolist1.xml), read through the adaptor
  // the build generates from it.
  Q_PROPERTY(uint SleepRemaining READ sleepRemaining)
  Q_PROPERTY(bool LevelLoudness READ levelLoudness WRITE setLevelLoudness)
  Q_PROPERTY(uint Delay READ delay)
  Q_PROPERTY(bool Notify READ notify WRITE setNotify)
  Q_PROPERTY(QList<radiolist::BusMovedStation> MovedStations READ movedStations)

 public:
  static constexpr std::size_t kMenuTitles = 20;
  // Sleep timer lengths offered in the menu, in minutes.
  static constexpr unsigned kSleepChoices[] = {15, 30, 60, 90};

  Companion(Player& player, WindowShell& window, QString titlesPath,
            QString settingsPath = SettingsFile::defaultPath(),
            std::string directoryIdsPath = DirectoryIds::defaultPath());
  ~Companion() override;

  // Puts the interface on the session bus, beside the media controls; false without a bus.
  bool publish();

  // Asks for the song on air to be saved into the music directory's radiolist/ (xdg-user-dir
  // MUSIC, else ~/Music). That may wait for the disk, so it runs on a thread of its own; `done`
  // gets the answer on this object's thread. A request made while one is under way gets that
  // one's answer. False, and `done` is never called, when kMaxWaitingSaves already wait.
  bool saveSong(std::function<void(const SongSave&)> done);
  static constexpr std::size_t kMaxWaitingSaves = 64;
  [[nodiscard]] static QString songDirectory();
  // The answer in words, for a message to the user.
  [[nodiscard]] static QString describe(const SongSave& save);

 signals:
  // A save ended because its file could not be written (a full disk, say); on the bus too.
  void SaveFailed(const QString& path, const QString& reason);
  void levelLoudnessChanged(bool on);
  void notifyChanged(bool on);

 public:
  [[nodiscard]] radiolist::RecentTitles& titles() { return titles_; }
  [[nodiscard]] SleepTimer& sleepTimer() { return sleep_; }
  [[nodiscard]] StationIntake& intake() { return intake_; }
  [[nodiscard]] Notifier& notifier() { return *notifier_; }
  // Every station at the same loudness: on unless the user turned it off (remembered).
  [[nodiscard]] bool levelLoudness() const { return levelLoudness_; }
  void setLevelLoudness(bool on);
  // A notification of each new title heard while the window is not the active one: on unless
  // the user turned it off (remembered).
  [[nodiscard]] bool notify() const { return notify_; }
  void setNotify(bool on);
  [[nodiscard]] QMenu* menu() const { return menu_.get(); }
  // Seconds what is heard lags behind live; live again.
  [[nodiscard]] std::uint32_t delay() const;
  void goLive();
  static constexpr std::int64_t kBackStepUs = 30'000'000;
  // The tray icon's tooltip: the program, the title on air and the sleep time left.
  [[nodiscard]] QString toolTip() const;
  [[nodiscard]] uint sleepRemaining() const { return sleep_.remainingSeconds(); }

  // The interface's methods, called by its adaptor. SaveSong, AddStations and ExportList answer
  // the bus call later, once the disk has been waited for off the UI thread.
  QString SaveSong();
  QList<BusTitle> RecentTitles(uint count);
  void SleepAfter(uint seconds);
  void GoLive();
  uint AddStations(const QStringList& items);
  void ExportList(const QString& path);
  void ShowFindStations();
  // Answered once the directory has: a map per station (name, url, country, codec, bitrate,
  // tags, votes, uuid, lastcheckok), at most `limit` (and kMaxStationsPerPage) of them.
  QList<QVariantMap> FindStations(const QString& query, uint limit);
  // The user's yes to the offer for `row`: answered once the address list is saved, else with
  // the error NoSuchOffer, LineChanged or CannotWrite.
  void UseMovedStation(uint row);
  [[nodiscard]] QList<BusMovedStation> movedStations() const;

  // The window that finds stations in the directory, made at its first use.
  void showFindStations();
  [[nodiscard]] StationMender& mender() { return *mender_; }
  [[nodiscard]] DirectoryIds& directoryIds() { return ids_; }
  // Why the offer for `row` was not taken: "" when it was; else the bus's error name and text.
  struct MoveRefusal {
    QString name;
    QString text;
  };
  // Rewrites the line of the offer for `row` with its new address; `done` gets nothing (taken) or
  // why not, on this object's thread.
  void useMovedStation(int row, std::function<void(const std::optional<MoveRefusal>&)> done);
  // Addresses the directory's searches found lately, with their directory ids: adding one counts
  // a click for it however it is added.
  static constexpr std::size_t kMaxFoundAddresses = 2000;

 private slots:
  // logind's signal around a suspend: after the resume, streams connect again at once.
  void onPrepareForSleep(bool goingToSleep);

 private:
  void buildMenu();
  void addSleepMenu();
  // The same menu from the window, where "Show window" has nothing to do.
  void showMenuOnWindow(QPoint at, bool fromKeyboard);
  // Asks for playlists or station lists and adds their stations as a drop would.
  void addFromFiles();
  void showAbout();
  // Notes a new title on air in the log and the tooltip.
  void noteTitle();
  // Tells of a save that ended because its file could not be written.
  void tellSaveFailure(const SongSave& failure);
  void fillRecentTitles(QMenu* submenu);
  // Pause, back and live as the channel allows them; a new delay told on the bus.
  void noteShift();
  // Asks where, then writes the list there as a playlist.
  void exportList();
  void showTime();
  // The directory client, made at the first search (nothing is sent before).
  directory::Client& directory();
  void noteFound(const std::vector<directory::Station>& stations);
  // Counts a click for each of `addresses` a search found, and remembers their ids.
  void countClicks(const QStringList& addresses);
  // The mender's offers as menu items (before "Find stations…"), and a new one told.
  void showMovedOffers();
  void tellMoved(const MovedStation& moved);
  // The notification's "Use the new address" was pressed (its key: the row, then the old address).
  void movedAnswered(const QString& key);
  [[nodiscard]] StationMender* makeMender();

  Player& player_;
  WindowShell& window_;
  radiolist::RecentTitles titles_;
  SleepTimer sleep_;
  StationIntake intake_;
  SettingsFile settings_;
  bool levelLoudness_ = true;
  bool notify_ = true;
  Notifier* notifier_ = nullptr;  // owned by this object
  QThreadPool saver_;             // one thread: Save song's disk work
  std::vector<std::function<void(const SongSave&)>> waitingSaves_;
  std::unique_ptr<QMenu> menu_;
  QAction* pause_ = nullptr;  // owned by menu_
  QAction* back_ = nullptr;
  QAction* live_ = nullptr;
  QAction* save_ = nullptr;
  QAction* export_ = nullptr;
  QAction* showWindow_ = nullptr;
  bool onWindow_ = false;  // the menu about to show is the window's
  WindowMenu windowMenu_;
  std::unique_ptr<BusProperties> properties_;
  QSystemTrayIcon* tray_ = nullptr;  // owned by this object; null without a tray host
  bool published_ = false;
  std::unique_ptr<directory::Client> directory_;
  DirectoryIds ids_;
  StationMender* mender_ = nullptr;  // owned by this object
  QAction* findStations_ = nullptr;  // owned by menu_: the offers go before it
  QList<QAction*> movedActions_;     // owned by menu_
  std::shared_ptr<AnswerPost> answers_ = std::make_shared<AnswerPost>(this);  // the bus's searches
  QPointer<StationFinder> finder_;      // a window of its own, deleted with this object
  QHash<QString, QString> foundUuids_;  // address -> directory id, at most kMaxFoundAddresses
  std::deque<QString> foundOrder_;      // the addresses of foundUuids_, oldest first
};

}  // namespace radiolist

Q_DECLARE_METATYPE(radiolist::BusTitle)
Q_DECLARE_METATYPE(radiolist::BusMovedStation)
