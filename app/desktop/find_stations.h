#pragma once
// The window that finds stations in the community directory: a search field searched as one
// types (kSearchDelay after the last key, the search before it cancelled), filters, and the
// stations found as a table, one row per stream address. Enter or a double click plays a row on
// the usual path (the list untouched); "Add to list" appends it as a drop does. The directory's
// answers come back on the request's thread and reach the window by a queued call, so the window
// never waits for a mirror.

#include <QAbstractTableModel>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "playback/directory/directory_client.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTableView;

namespace radiolist {

class Player;

// Plays a station found on the window's usual path (the list untouched). The window's path
// would connect anywhere: a public directory's entry is first held to public hosts.
void playFoundStation(Player& player, const directory::Station& station);

// Hands what a directory request's thread learnt to an object on the UI thread: post() runs the
// call there by a queued call, unless close() (the object's destructor) came first. The lock
// keeps the object alive while a call is being posted to it.
class AnswerPost {
 public:
  explicit AnswerPost(QObject* target) : target_(target) {}
  void post(std::function<void()> call) {
    const std::lock_guard lock(mutex_);
    if (target_ != nullptr)
      QMetaObject::invokeMethod(target_, std::move(call), Qt::QueuedConnection);
  }
  void close() {
    const std::lock_guard lock(mutex_);
    target_ = nullptr;
  }

 private:
  std::mutex mutex_;
  QObject* target_;  // under mutex_
};

// The stations found, as the table shows them: at most kMaxRows, one per address.
class StationTableModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  enum Column { Name, Country, Format, Tags, Votes, Working, ColumnCount };
  static constexpr std::size_t kMaxRows = directory::kMaxStationsPerPage;

  using QAbstractTableModel::QAbstractTableModel;
  // Replaces the rows; stations past kMaxRows, and those whose address an earlier row has, are
  // left out.
  void setStations(std::vector<directory::Station> stations);
  [[nodiscard]] const directory::Station* station(int row) const;

  [[nodiscard]] int rowCount(const QModelIndex& parent = {}) const override;
  [[nodiscard]] int columnCount(const QModelIndex& parent = {}) const override;
  [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;
  [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation,
                                    int role) const override;

 private:
  std::vector<directory::Station> stations_;
};

// Turns keystrokes into searches: each change restarts the wait; when it runs out the search
// before is cancelled and `start` asked for the new one. Answers of any search but the latest
// are not handed on. UI thread only.
class SearchDebounce : public QObject {
  Q_OBJECT
 public:
  using Start = std::function<std::shared_ptr<directory::Request>(const directory::Query&,
                                                                  directory::Callback)>;
  SearchDebounce(std::chrono::milliseconds delay, Start start, QObject* parent = nullptr);
  ~SearchDebounce() override;

  // The query changed: searched for once the delay has passed without another change. An empty
  // query (no name, tag, country or codec) cancels the search and is not sent.
  void changed(const directory::Query& query);
  // Searches for `query` at once (Enter in the search field with nothing found yet).
  void now(const directory::Query& query);
  // Drops the search waiting for the pause and cancels the one in flight; no answer is handed
  // on after this. True when either was there (a search the caller may want to make again).
  bool cancel();
  [[nodiscard]] bool searching() const { return searching_; }

 signals:
  void answered(const directory::Outcome& outcome);

 private:
  void send();

  Start start_;
  QTimer timer_;
  directory::Query query_;
  std::shared_ptr<directory::Request> request_;
  bool searching_ = false;        // the latest search has not answered yet
  std::uint64_t generation_ = 0;  // of the latest search; older answers are dropped
  std::shared_ptr<AnswerPost> post_ = std::make_shared<AnswerPost>(this);
};

class StationFinder : public QWidget {
  Q_OBJECT
 public:
  static constexpr std::chrono::milliseconds kSearchDelay{250};
  // `play` and `add` get the station chosen; the client is asked for searches and clicks.
  StationFinder(directory::Client& client, std::function<void(const directory::Station&)> play,
                std::function<void(const directory::Station&)> add, QWidget* parent = nullptr);

  // Shows the window in front with the search field focused; a search that closing the window
  // cut short is made again.
  void open();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  // Closing the window ends its search: nothing goes on asking a mirror for a window nobody sees.
  void closeEvent(QCloseEvent* event) override;

 private:
  void makeControls();
  void layOut();
  void wire();
  [[nodiscard]] directory::Query query() const;
  void show(const directory::Outcome& outcome);
  [[nodiscard]] const directory::Station* chosen() const;
  void playChosen();
  void addChosen();

  directory::Client& client_;
  std::function<void(const directory::Station&)> play_;
  std::function<void(const directory::Station&)> add_;
  StationTableModel model_;
  SearchDebounce debounce_;
  QLineEdit* search_;
  QLineEdit* tag_;
  QLineEdit* country_;
  QComboBox* codec_;
  QSpinBox* bitrate_;
  QCheckBox* working_;
  QTableView* table_;
  QPushButton* playButton_;
  QPushButton* addButton_;
  QLabel* status_;
  bool cutShort_ = false;  // closing the window cancelled a search
};

}  // namespace radiolist
