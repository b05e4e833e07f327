#pragma once
// Mending a list line whose station moved: when the library finds a line's address gone for good
// (Player::lineGone), the directory is asked where the station is now (by the id remembered when
// it was added from the directory; without one, or when the directory no longer knows it, by its
// name, an exact match only), and a new address that
// plays is offered to the user. Only the user's yes (Companion) rewrites the line.
//
// Each line and address is looked up once per run. The directory answers on its request's thread
// and the check that the new address plays waits for the network: both reach this object by a
// queued call; the window's thread never waits. A failed request is logged, never shown.

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QThreadPool>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/core/player.h"
#include "app/desktop/find_stations.h"
#include "playback/directory/directory_client.h"

namespace radiolist {

class DirectoryIds;

// A line the directory gave a new address for, which plays.
struct MovedStation {
  int row = -1;
  QString name;
  QString oldAddress;
  QString newAddress;
  friend bool operator==(const MovedStation&, const MovedStation&) = default;
};

// Where the directory's answer puts the station now: the address of the station with `uuid` (when
// one was asked for), else of the one station named exactly `name` (several so named at different
// addresses: none); nothing when that is `oldAddress` or the answer was a failure.
[[nodiscard]] std::optional<directory::Station> movedTo(const directory::Outcome& answer,
                                                        const std::string& uuid,
                                                        const std::string& name,
                                                        const std::string& oldAddress);

class StationMender : public QObject {
  Q_OBJECT
 public:
  // How the directory is asked (the client's byUuid and search); each returns at once.
  struct Directory {
    std::function<void(const std::string& uuid, directory::Callback done)> byUuid;
    std::function<void(const directory::Query& query, directory::Callback done)> search;
  };
  // Whether an address plays (PlaybackControls::StreamPlays): called on a thread of the mender's.
  using Plays = std::function<bool(const std::string& url, bool publicOnly)>;
  // Lines looked up in one run at most; a list mended more than that is left alone.
  static constexpr qsizetype kMaxLookups = 1000;
  static constexpr std::size_t kNameMatches = 100;  // stations asked for in a search by name

  StationMender(Directory directory, Plays plays, const DirectoryIds& ids,
                QObject* parent = nullptr);
  // Waits for a check under way (a few seconds at most).
  ~StationMender() override;

  // `line`'s address failed for good: its new address is looked for, unless it was already.
  void lineGone(const GoneLine& line);

  // The offers, oldest first, one per row.
  [[nodiscard]] const QList<MovedStation>& offers() const { return offers_; }
  [[nodiscard]] std::optional<MovedStation> offer(int row) const;
  // The offer for `row` goes (taken, or its line changed).
  void withdraw(int row);

 signals:
  // A new offer, after offersChanged.
  void offered(const radiolist::MovedStation& moved);
  void offersChanged();

 private:
  void askByName(const GoneLine& line);
  void answered(const GoneLine& line, const std::string& uuid, const directory::Outcome& answer);
  void checked(const MovedStation& moved, bool plays);

  Directory directory_;
  Plays plays_;
  const DirectoryIds& ids_;
  QSet<QString> asked_;  // row and address of each line looked up
  QList<MovedStation> offers_;
  QThreadPool checks_;  // one thread: whether a new address plays
  std::shared_ptr<AnswerPost> post_ = std::make_shared<AnswerPost>(this);
};

}  // namespace radiolist
