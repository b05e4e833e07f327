#pragma once
// Saving both list files off the UI thread, for stations added from outside the window: one
// worker thread writes the snapshots in the order they were taken, so the files on disk are
// always a list the window has shown, the two of one moment. The window's own edits stay
// synchronous: before one touches a list file or a row it settles, that is, waits for what is
// queued to be on disk and takes back the rows of an addition that could not be saved.
// The thread starts with the first save and sleeps until the next; it ends with the window,
// after writing what is queued (a quit during a save leaves both files complete and paired).

#include <QObject>
#include <QString>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "channels/list_file.h"
#include "files/outcome.h"

namespace radiolist {

class ListSaver : public QObject {
  Q_OBJECT
 public:
  // Undoes an addition's rows (those from `before` on) after its save failed. UI thread.
  using Rollback = std::function<void()>;
  // The save's end: Done when both files hold the snapshot, else why not. UI thread.
  using Done = std::function<void(const Outcome& outcome)>;

  explicit ListSaver(QObject* parent);
  ~ListSaver() override;
  ListSaver(const ListSaver&) = delete;
  ListSaver& operator=(const ListSaver&) = delete;

  // The window's one saver, nullptr when there is no window.
  [[nodiscard]] static ListSaver* current();

  // Queues the snapshot of both lists: the addresses are saved first, then the names; when the
  // names fail the addresses are saved again with their first `before` lines, so both files keep
  // pairing. With no `namesPath` only the addresses are saved (a line of theirs replaced). A
  // save that fails fails every save queued before its rows were taken back too (their
  // snapshots hold those rows).
  void save(QString namesPath, ListLines names, QString urlsPath, ListLines urls, int before,
            Rollback rollback, Done done);

  // Waits until every queued save has ended, and runs the rollback of each that failed. The
  // `done` calls follow from the event loop. UI thread; returns at once when nothing is queued.
  void settle();

  // Whether a save is queued or being written.
  [[nodiscard]] bool busy() const;

 private:
  struct Job;
  void run();
  void deliver();
  void rollBackFailed();

  mutable std::mutex mutex_;
  std::condition_variable wake_;               // the worker: a job or the end
  std::condition_variable ended_;              // settle(): the queue ran empty
  std::deque<std::shared_ptr<Job>> queue_;     // waiting and being written, in order
  std::deque<std::shared_ptr<Job>> finished_;  // ended, for the UI thread
  std::uint64_t generation_ = 0;  // taken by each job; a handled failure starts the next one
  std::uint64_t failedGeneration_ = UINT64_MAX;
  Outcome failure_;  // why the failed generation failed
  bool stop_ = false;
  std::thread thread_;
};

// ListSaver::current()->settle(), when there is a window.
void settleListSaves();

}  // namespace radiolist
