#pragma once
// The titles heard, kept in a file of their own: one line per title change, "unix time TAB
// station TAB title", the newest last, at most kKeepLines lines. A title is noted once, however
// often it is polled. The file is written on a thread of its own, in order: a slow disk never holds
// up the window.

#include <QList>
#include <QString>
#include <QThreadPool>
#include <cstdint>
#include <deque>

namespace radiolist {

struct TitleEntry {
  std::int64_t time = 0;  // seconds since 1970
  QString station;
  QString title;
  friend bool operator==(const TitleEntry&, const TitleEntry&) = default;
};

class RecentTitles {
 public:
  static constexpr std::size_t kKeepLines = 1000;
  // What is kept of a station or title, in bytes of UTF-8: a line stays short whatever a server
  // sends (an HLS title of 100,000 characters has been seen).
  static constexpr std::size_t kMaxFieldBytes = 1024;

  // $XDG_STATE_HOME/radiolist/titles.tsv, with ~/.local/state when the variable is unset or not
  // an absolute path.
  [[nodiscard]] static QString defaultPath();

  // Reads what `path` already holds (lines that are not three fields are dropped).
  explicit RecentTitles(QString path);
  // Waits for the writes still queued.
  ~RecentTitles();
  RecentTitles(const RecentTitles&) = delete;
  RecentTitles& operator=(const RecentTitles&) = delete;

  // Notes `title` on `station` unless it is blank or the same as the last one noted; true when
  // it was noted (the file follows soon after). Control characters in either (tabs, line breaks,
  // escapes) become spaces, so that a line stays a line, and each is cut to kMaxFieldBytes on a
  // character boundary, ending in "…" when cut.
  bool note(std::int64_t time, const QString& station, const QString& title);
  // At most `count`, newest first.
  [[nodiscard]] QList<TitleEntry> newest(std::size_t count) const;
  [[nodiscard]] const QString& path() const { return path_; }
  // Returns once every title noted so far is in the file (or its write failed).
  void flush() { writer_.waitForDone(); }

 private:
  QString path_;
  std::deque<TitleEntry> entries_;
  QThreadPool writer_;  // one thread: the writes keep their order
};

}  // namespace radiolist
