#include "app/desktop/recent_titles.h"

#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <utility>

#include "app/log_domain.h"
#include "files/file.h"
#include "playback/engine/state_file.h"
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

// How many lines the file has, as far as a compaction is concerned: one too large to read is
// past the limit anyway.
std::size_t linesIn(const files::Opened& file) {
  const QByteArray bytes = readTail(file.fd.get(), file.st);
  const auto lines = static_cast<std::size_t>(bytes.count('\n'));
  return static_cast<std::size_t>(file.st.st_size) > RecentTitles::kMaxReadBytes
             ? lines + RecentTitles::kCompactPastLines
             : lines;
}

}  // namespace

QString RecentTitles::defaultPath() {
  const std::string& dir = files::stateDirectory();
  return dir.empty() ? QString()
                     : QFile::decodeName(QByteArray::fromStdString(dir + "/titles.tsv"));
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
  const files::Opened file = files::openRegular(nativePath(), O_RDONLY, files::Links::Refuse);
  if (file.fd.valid()) {
    const QByteArray bytes = readTail(file.fd.get(), file.st);
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
    // Not all of it was read: past the limit anyway, so the next change compacts it.
    if (static_cast<std::size_t>(file.st.st_size) > kMaxReadBytes) fileLines_ += kCompactPastLines;
    knownSize_ = file.st.st_size;
  }
  if (file.failure.failed() && !file.failure.missing()) warn(file.failure);

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

// Under the file's lock: other programs of the user (on other lists) append to it too, and a
// compaction must keep their lines as well as this one's.
void RecentTitles::append(const std::deque<TitleEntry>& batch) {
  QByteArray bytes;
  for (const TitleEntry& entry : batch) bytes += lineOf(entry);
  const std::string path = nativePath();
  const state::StateLock lock = state::StateLock::take(path);
  if (!lock.held()) return warn(lock.why());
  files::Opened file = files::openRegular(path, O_RDWR | O_APPEND | O_CREAT, files::Links::Refuse);
  if (file.failure.failed()) return warn(file.failure);
  // A line cut short (by a crash, a full disk) is ended first, so that the new ones stay whole.
  char last = '\n';
  if (file.st.st_size > 0 && ::pread(file.fd.get(), &last, 1, file.st.st_size - 1) != 1)
    last = '\n';
  if (last != '\n') bytes.prepend('\n');
  // Another program wrote since: its lines count too, towards the next compaction.
  if (file.st.st_size != knownSize_) fileLines_ = linesIn(file);
  files::Failure failed = files::writeAll(
      file.fd.get(), std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
  if (!failed.failed() && !file.fd.close()) failed = {files::Fault::WriteFailed, errno, 0};
  if (failed.failed()) {
    knownSize_ = -1;  // part of it may be there
    return warn(failed);
  }
  knownSize_ = file.st.st_size + bytes.size();
  problem_.clear();
  fileLines_ += batch.size();
  if (fileLines_ > kCompactPastLines) compact();
}

// The file becomes its last kKeepLines whole lines, read again now, under the lock append()
// holds: whole or not at all (a new file beside it, synced, renamed over it).
void RecentTitles::compact() {
  const files::Opened file = files::openRegular(nativePath(), O_RDONLY, files::Links::Refuse);
  if (file.failure.failed()) return warn(file.failure);
  const QByteArray bytes = readTail(file.fd.get(), file.st);
  // The bytes after the last line break are no line. A line that ends at `lineEnd` (after its
  // break) starts after the break before.
  const qsizetype end = bytes.lastIndexOf('\n') + 1;
  qsizetype from = end;
  std::size_t kept = 0;
  for (; from > 0 && kept < kKeepLines; ++kept)
    from = from >= 2 ? bytes.lastIndexOf('\n', from - 2) + 1 : 0;
  const files::Failure failed = files::replace(
      nativePath(),
      std::string_view(bytes.constData() + from, static_cast<std::size_t>(end - from)));
  if (failed.failed()) return warn(failed);
  fileLines_ = kept;
  knownSize_ = end - from;
}

std::string RecentTitles::nativePath() const { return QFile::encodeName(path_).toStdString(); }

void RecentTitles::warn(const files::Failure& failure) { warn(files::describe(failure)); }

void RecentTitles::warn(const std::string& why) {
  if (why == problem_) return;
  problem_ = why;
  log::warning(kDesktopLog, "titles are not logged to ", path_.toStdString(), ": ", why);
}

}  // namespace radiolist
