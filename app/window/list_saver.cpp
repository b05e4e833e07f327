#include "app/window/list_saver.h"

#include <QFile>
#include <exception>
#include <span>

#include "app/log_domain.h"
#include "playback/log/log.h"
#include "playback/log/thread_name.h"

namespace radiolist {

namespace {

ListSaver* gCurrent = nullptr;

std::filesystem::path nativePath(const QString& path) {
  return QFile::encodeName(path).toStdString();
}

}  // namespace

struct ListSaver::Job {
  QString namesPath, urlsPath;
  ListLines names, urls;
  int before = 0;
  Rollback rollback;
  Done done;
  std::uint64_t generation = 0;
  Outcome error;
  bool rolledBack = false;
};

ListSaver::ListSaver(QObject* parent) : QObject(parent) { gCurrent = this; }

ListSaver::~ListSaver() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();  // after the last queued save
  if (gCurrent == this) gCurrent = nullptr;
}

ListSaver* ListSaver::current() { return gCurrent; }

void ListSaver::save(QString namesPath, ListLines names, QString urlsPath, ListLines urls,
                     int before, Rollback rollback, Done done) {
  auto job = std::make_shared<Job>();
  job->namesPath = std::move(namesPath);
  job->urlsPath = std::move(urlsPath);
  job->names = std::move(names);
  job->urls = std::move(urls);
  job->before = before;
  job->rollback = std::move(rollback);
  job->done = std::move(done);
  {
    std::lock_guard lock(mutex_);
    job->generation = generation_;
    queue_.push_back(std::move(job));
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
  }
  wake_.notify_one();
}

bool ListSaver::busy() const {
  std::lock_guard lock(mutex_);
  return !queue_.empty();
}

void ListSaver::run() {
  log::nameThisThread("rl-list-save");
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopping, and all is written
    const std::shared_ptr<Job> job = queue_.front();
    const bool spoilt = job->generation == failedGeneration_;
    Outcome error = failure_;
    lock.unlock();
    if (!spoilt) {
      error = {};
      try {
        saveListFile(nativePath(job->urlsPath), job->urls, CodePage::system());
        try {
          if (!job->namesPath.isEmpty())
            saveListFile(nativePath(job->namesPath), job->names, CodePage::system());
        } catch (const std::exception&) {
          try {
            saveListFile(nativePath(job->urlsPath),
                         std::span(job->urls).first(static_cast<std::size_t>(job->before)),
                         CodePage::system());
          } catch (const std::exception& again) {
            log::error(kDesktopLog, "the addresses could not be put back: ", again.what());
          }
          throw;
        }
      } catch (const ListFileError& failed) {
        error = failed.error() == 0 ? Outcome::about(Outcome::Code::ListWriteFailed)
                                    : Outcome::file(Outcome::Code::CannotCreate, failed.path(),
                                                    files::Failure::system(failed.error()));
      } catch (const std::exception& failed) {  // out of memory
        error = Outcome::file(Outcome::Code::CannotCreate, nativePath(job->urlsPath).string(),
                              files::Failure::system(ENOMEM));
      }
      job->urls = {};  // the memory of a large list back at once
      job->names = {};
    }
    lock.lock();
    job->error = error;
    if (!error.done() && !spoilt) {
      failedGeneration_ = job->generation;
      failure_ = error;
    }
    queue_.pop_front();
    finished_.push_back(job);
    if (queue_.empty()) ended_.notify_all();
    QMetaObject::invokeMethod(this, &ListSaver::deliver, Qt::QueuedConnection);
  }
}

void ListSaver::rollBackFailed() {
  std::vector<std::shared_ptr<Job>> failed;
  {
    std::lock_guard lock(mutex_);
    for (const auto& job : finished_) {
      if (job->error.done() || job->rolledBack) continue;
      job->rolledBack = true;
      failed.push_back(job);
      // Snapshots taken from now on no longer hold the failed rows.
      if (job->generation == generation_) ++generation_;
    }
  }
  // The earliest failure's rollback takes back the later ones' rows as well.
  for (const auto& job : failed)
    if (job->rollback) job->rollback();
}

void ListSaver::settle() {
  {
    std::unique_lock lock(mutex_);
    ended_.wait(lock, [this] { return queue_.empty(); });
  }
  rollBackFailed();
}

void ListSaver::deliver() {
  rollBackFailed();
  for (;;) {
    std::shared_ptr<Job> job;
    {
      std::lock_guard lock(mutex_);
      if (finished_.empty()) return;
      job = std::move(finished_.front());
      finished_.pop_front();
    }
    // A done may show a box whose event loop delivers the next ones: each is taken off first.
    if (job->done) job->done(job->error);
  }
}

void settleListSaves() {
  if (ListSaver* saver = ListSaver::current()) saver->settle();
}

}  // namespace radiolist
