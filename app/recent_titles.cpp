#include "app/recent_titles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace radiolist {

namespace {

// A server's text: control characters (tabs, line breaks, terminal escapes) become spaces.
QString oneLine(QString text) {
  for (QChar& c : text) {
    if (c.category() == QChar::Other_Control) c = u' ';
  }
  return text.trimmed();
}

QByteArray lineOf(const TitleEntry& entry) {
  return QByteArray::number(static_cast<qlonglong>(entry.time)) + '\t' + entry.station.toUtf8() +
         '\t' + entry.title.toUtf8() + '\n';
}

}  // namespace

QString RecentTitles::defaultPath() {
  QString base = qEnvironmentVariable("XDG_STATE_HOME");
  if (base.isEmpty() || QDir::isRelativePath(base)) base = QDir::homePath() + "/.local/state";
  return base + "/radiolist/titles.tsv";
}

RecentTitles::RecentTitles(QString path) : path_(std::move(path)) {
  QFile file(path_);
  if (!file.open(QIODevice::ReadOnly)) return;
  while (!file.atEnd()) {
    const QList<QByteArray> fields = file.readLine().trimmed().split('\t');
    bool isNumber = false;
    const qlonglong time = fields.value(0).toLongLong(&isNumber);
    if (fields.size() != 3 || !isNumber) continue;
    entries_.push_back({time, QString::fromUtf8(fields[1]), QString::fromUtf8(fields[2])});
    if (entries_.size() > kKeepLines) entries_.pop_front();
  }
}

bool RecentTitles::note(std::int64_t time, const QString& station, const QString& title) {
  TitleEntry entry{time, oneLine(station), oneLine(title)};
  if (entry.title.isEmpty()) return false;
  if (!entries_.empty() && entries_.back().station == entry.station &&
      entries_.back().title == entry.title)
    return false;
  entries_.push_back(std::move(entry));
  if (entries_.size() <= kKeepLines) return append(entries_.back());
  entries_.pop_front();
  return rewrite();
}

QList<TitleEntry> RecentTitles::newest(std::size_t count) const {
  QList<TitleEntry> out;
  for (auto it = entries_.rbegin(); it != entries_.rend() && std::size_t(out.size()) < count; ++it)
    out.push_back(*it);
  return out;
}

bool RecentTitles::append(const TitleEntry& entry) {
  QDir().mkpath(QFileInfo(path_).absolutePath());
  QFile file(path_);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) return false;
  return file.write(lineOf(entry)) > 0;
}

// Past the limit the oldest line goes: the file is written anew, whole or not at all.
bool RecentTitles::rewrite() {
  QDir().mkpath(QFileInfo(path_).absolutePath());
  QSaveFile file(path_);
  if (!file.open(QIODevice::WriteOnly)) return false;
  for (const TitleEntry& entry : entries_) file.write(lineOf(entry));
  return file.commit();
}

}  // namespace radiolist
