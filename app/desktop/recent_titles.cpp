#include "app/desktop/recent_titles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "app/desktop/regular_file.h"
#include "playback/log/log.h"
#include "playback/log/thread_name.h"

namespace radiolist {

namespace {

// A server's text as one bounded line: control characters (tabs, line breaks, terminal escapes)
// become spaces, and past kMaxFieldBytes of UTF-8 it is cut on a character boundary.
QString field(QString text) {
  for (QChar& c : text) {
    if (c.category() == QChar::Other_Control) c = u' ';
  }
  text = text.trimmed();
  constexpr auto kMax = static_cast<qsizetype>(RecentTitles::kMaxFieldBytes);
  if (text.size() * 3 <= kMax) return text;  // a UTF-16 unit takes at most 3 bytes
  QByteArray utf8 = text.toUtf8();
  if (utf8.size() <= kMax) return text;
  static constexpr char kEllipsis[] = "\xE2\x80\xA6";
  qsizetype n = kMax - qsizetype{sizeof kEllipsis - 1};
  while (n > 0 && (static_cast<unsigned char>(utf8[n]) & 0xC0) == 0x80) --n;
  utf8.truncate(n);
  return QString::fromUtf8(utf8 + kEllipsis);
}

QByteArray lineOf(const TitleEntry& entry) {
  return QByteArray::number(static_cast<qlonglong>(entry.time)) + '\t' + entry.station.toUtf8() +
         '\t' + entry.title.toUtf8() + '\n';
}

bool sameTitle(const TitleEntry& a, const TitleEntry& b) {
  return a.station == b.station && a.title == b.title;
}

template <typename T>
void keepLast(std::deque<T>& list) {
  while (list.size() > RecentTitles::kKeepLines) list.pop_front();
}

// Empty for a regular file, else what the path is instead.
QString notRegular(mode_t mode) {
  if (S_ISREG(mode)) return {};
  const char* kind = S_ISDIR(mode)    ? "a directory"
                     : S_ISFIFO(mode) ? "a pipe"
                     : S_ISLNK(mode)  ? "a symbolic link"
                     : S_ISSOCK(mode) ? "a socket"
                                      : "a device";
  return QStringLiteral("it is %1, not a regular file").arg(QLatin1String(kind));
}

class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  [[nodiscard]] int get() const { return fd_; }
  // Closes now and tells whether it went well: on some file systems close is where a write fails.
  bool close() { return ::close(std::exchange(fd_, -1)) == 0; }

 private:
  int fd_;
};

// Opens the log only when it is a regular file. Anything else is refused before it is opened
// (opening a device can do things of its own), and again after, in case it took the file's place
// in between: O_NONBLOCK keeps that open from waiting for a pipe's other end, O_NOFOLLOW from
// following a link. `why` stays empty when the file just is not there yet.
Descriptor openLog(const QByteArray& path, int flags, struct stat& st, QString& why) {
  if (::lstat(path.constData(), &st) == 0 && !(why = notRegular(st.st_mode)).isEmpty())
    return Descriptor();
  Descriptor fd(
      ::open(path.constData(), flags | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600));
  if (fd.get() < 0) {
    if (errno != ENOENT || (flags & O_CREAT) != 0) why = systemError(errno);
    return Descriptor();
  }
  if (::fstat(fd.get(), &st) != 0) why = systemError(errno);
  if (why.isEmpty()) why = notRegular(st.st_mode);
  if (!why.isEmpty()) return Descriptor();
  return fd;
}

bool writeAll(int fd, QByteArrayView bytes) {
  while (!bytes.isEmpty()) {
    const ssize_t put = ::write(fd, bytes.data(), static_cast<std::size_t>(bytes.size()));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    bytes = bytes.sliced(put);
  }
  return true;
}

// The last kMaxReadBytes of the file, from the first whole line in them.
QByteArray readTail(int fd, const struct stat& st) {
  const auto size = static_cast<std::size_t>(st.st_size);
  // One byte before the tail tells whether the tail begins a line.
  const std::size_t from =
      size > RecentTitles::kMaxReadBytes ? size - RecentTitles::kMaxReadBytes - 1 : 0;
  QByteArray bytes(static_cast<qsizetype>(size - from), Qt::Uninitialized);
  qsizetype got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::pread(fd, bytes.data() + got, static_cast<std::size_t>(bytes.size() - got),
                              static_cast<off_t>(from) + got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += n;
  }
  bytes.truncate(got);
  if (from > 0) bytes.remove(0, bytes.indexOf('\n') + 1);  // without one, no line is whole
  return bytes;
}

}  // namespace

QString RecentTitles::defaultPath() {
  QString base = qEnvironmentVariable("XDG_STATE_HOME");
  if (base.isEmpty() || QDir::isRelativePath(base)) base = QDir::homePath() + "/.local/state";
  return base + "/radiolist/titles.tsv";
}

RecentTitles::RecentTitles(QString path) : path_(std::move(path)) {
  thread_ = std::thread([this] {
    log::nameThisThread("rl-titles");
    run();
  });
}

RecentTitles::~RecentTitles() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

bool RecentTitles::note(std::int64_t time, const QString& station, const QString& title) {
  TitleEntry entry{time, field(station), field(title)};
  if (entry.title.isEmpty()) return false;
  {
    const std::lock_guard lock(mutex_);
    if (!entries_.empty() && sameTitle(entries_.back(), entry)) return false;
    entries_.push_back(entry);
    keepLast(entries_);
    pending_.push_back(std::move(entry));
    keepLast(pending_);  // a disk that hangs for hours still costs bounded memory
  }
  wake_.notify_one();
  return true;
}

QList<TitleEntry> RecentTitles::newest(std::size_t count) const {
  const std::lock_guard lock(mutex_);
  QList<TitleEntry> out;
  for (auto it = entries_.rbegin(); it != entries_.rend() && std::size_t(out.size()) < count; ++it)
    out.push_back(*it);
  return out;
}

void RecentTitles::flush() {
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return loaded_ && pending_.empty() && !writing_; });
}

void RecentTitles::run() {
  load();
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return !pending_.empty() || stopping_; });
    if (pending_.empty()) return;  // stopping, and everything is written
    const std::deque<TitleEntry> batch = std::exchange(pending_, {});
    writing_ = true;
    lock.unlock();
    append(batch);
    lock.lock();
    writing_ = false;
    idle_.notify_all();
  }
}

void RecentTitles::load() {
  std::deque<TitleEntry> found;
  struct stat st {};
  QString why;
  if (const Descriptor fd = openLog(QFile::encodeName(path_), O_RDONLY, st, why); fd.get() >= 0) {
    const QByteArray bytes = readTail(fd.get(), st);
    qsizetype start = 0;
    for (qsizetype end; (end = bytes.indexOf('\n', start)) >= 0; start = end + 1) {
      ++fileLines_;
      const QList<QByteArray> fields = bytes.sliced(start, end - start).trimmed().split('\t');
      bool isNumber = false;
      const qlonglong time = fields.value(0).toLongLong(&isNumber);
      if (fields.size() != 3 || !isNumber) continue;
      found.push_back(
          {time, field(QString::fromUtf8(fields[1])), field(QString::fromUtf8(fields[2]))});
      keepLast(found);
    }
    endsMidLine_ = start < bytes.size();  // a line cut short by a crash is not one
    // Not all of it was read: past the limit anyway, so the next change compacts it.
    if (static_cast<std::size_t>(st.st_size) > kMaxReadBytes) fileLines_ += kCompactPastLines;
  }
  if (!why.isEmpty()) warn(why);
  for (const TitleEntry& entry : found) tail_.push_back(lineOf(entry));

  const std::lock_guard lock(mutex_);
  // The title on air at the last exit, noted again before this read was done, is no news.
  if (!found.empty() && !pending_.empty() && !entries_.empty() &&
      sameTitle(found.back(), pending_.front()) && sameTitle(found.back(), entries_.front())) {
    pending_.pop_front();
    entries_.pop_front();
  }
  found.insert(found.end(), entries_.begin(), entries_.end());
  keepLast(found);
  entries_ = std::move(found);
  loaded_ = true;
  idle_.notify_all();
}

void RecentTitles::append(const std::deque<TitleEntry>& batch) {
  QByteArray bytes = endsMidLine_ ? QByteArray("\n") : QByteArray();
  for (const TitleEntry& entry : batch) {
    tail_.push_back(lineOf(entry));
    bytes += tail_.back();
  }
  keepLast(tail_);
  QDir().mkpath(QFileInfo(path_).absolutePath());
  struct stat st {};
  QString why;
  Descriptor fd = openLog(QFile::encodeName(path_), O_WRONLY | O_APPEND | O_CREAT, st, why);
  if (fd.get() < 0) return warn(why);
  if (!writeAll(fd.get(), bytes) || !fd.close()) {
    endsMidLine_ = true;  // part of a line may have got there
    return warn(systemError(errno));
  }
  problem_.clear();
  endsMidLine_ = false;
  fileLines_ += batch.size();
  if (fileLines_ > kCompactPastLines) compact();
}

// The file becomes its last kKeepLines lines, whole or not at all: a new file beside it, synced,
// renamed over it.
void RecentTitles::compact() {
  QByteArray bytes;
  for (const QByteArray& line : tail_) bytes += line;
  const QFileInfo info(path_);
  QByteArray temp = QFile::encodeName(info.absolutePath() + "/." + info.fileName() + ".XXXXXX");
  Descriptor fd(::mkostemp(temp.data(), O_CLOEXEC));  // 0600, as the log is created
  if (fd.get() < 0) return warn(systemError(errno));
  if (!writeAll(fd.get(), bytes) || ::fsync(fd.get()) != 0 || !fd.close() ||
      ::rename(temp.constData(), QFile::encodeName(path_).constData()) != 0) {
    const int err = errno;
    ::unlink(temp.constData());
    return warn(systemError(err));
  }
  fileLines_ = tail_.size();
}

void RecentTitles::warn(const QString& why) {
  if (why == problem_) return;
  problem_ = why;
  log::warning(log::Domain::Desktop, "titles are not logged to ", path_.toStdString(), ": ",
               why.toStdString());
}

}  // namespace radiolist
