#include "app/recent_titles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <utility>

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

void append(const QString& path, const QByteArray& line) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile file(path);
  if (file.open(QIODevice::WriteOnly | QIODevice::Append)) file.write(line);
}

// Past the limit the oldest line goes: the file is written anew, whole or not at all.
void rewrite(const QString& path, const QByteArray& lines) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QSaveFile file(path);
  if (file.open(QIODevice::WriteOnly) && file.write(lines) == lines.size()) file.commit();
}

}  // namespace

QString RecentTitles::defaultPath() {
  QString base = qEnvironmentVariable("XDG_STATE_HOME");
  if (base.isEmpty() || QDir::isRelativePath(base)) base = QDir::homePath() + "/.local/state";
  return base + "/radiolist/titles.tsv";
}

RecentTitles::RecentTitles(QString path) : path_(std::move(path)) {
  writer_.setMaxThreadCount(1);
  QFile file(path_);
  if (!file.open(QIODevice::ReadOnly)) return;
  while (!file.atEnd()) {
    const QList<QByteArray> fields = file.readLine().trimmed().split('\t');
    bool isNumber = false;
    const qlonglong time = fields.value(0).toLongLong(&isNumber);
    if (fields.size() != 3 || !isNumber) continue;
    entries_.push_back(
        {time, field(QString::fromUtf8(fields[1])), field(QString::fromUtf8(fields[2]))});
    if (entries_.size() > kKeepLines) entries_.pop_front();
  }
}

bool RecentTitles::note(std::int64_t time, const QString& station, const QString& title) {
  TitleEntry entry{time, field(station), field(title)};
  if (entry.title.isEmpty()) return false;
  if (!entries_.empty() && entries_.back().station == entry.station &&
      entries_.back().title == entry.title)
    return false;
  entries_.push_back(std::move(entry));
  if (entries_.size() <= kKeepLines) {
    writer_.start([path = path_, line = lineOf(entries_.back())] { append(path, line); });
  } else {
    entries_.pop_front();
    QByteArray lines;
    for (const TitleEntry& kept : entries_) lines += lineOf(kept);
    writer_.start([path = path_, lines = std::move(lines)] { rewrite(path, lines); });
  }
  return true;
}

RecentTitles::~RecentTitles() { flush(); }

QList<TitleEntry> RecentTitles::newest(std::size_t count) const {
  QList<TitleEntry> out;
  for (auto it = entries_.rbegin(); it != entries_.rend() && std::size_t(out.size()) < count; ++it)
    out.push_back(*it);
  return out;
}

}  // namespace radiolist
