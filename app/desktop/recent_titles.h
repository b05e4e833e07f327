#pragma once
// The titles heard, kept in a file of their own: one line per title change, "unix time TAB
// station TAB title", the newest last. A title is noted once, however often it is polled. The
// file is read and written on a thread of its own, in order: a slow disk, or a pipe put at the
// path, never holds up the window. Each change appends a line; only when the file passes
// kCompactPastLines is it replaced, atomically, by its last kKeepLines lines. The file is shared
// by every program of the user (state_file.h): appends and compactions are made under its lock,
// a compaction reading it again first. Anything but a regular file at the path (a symbolic link
// too) is refused without waiting on it: the titles are then kept in memory only, and stderr says
// why once.

#include <QList>
#include <QString>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "files/file.h"

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
  static constexpr std::size_t kCompactPastLines = 2000;
  // What is kept of a station or title, in bytes of UTF-8: a line stays short whatever a server
  // sends (an HLS title of 100,000 characters has been seen).
  static constexpr std::size_t kMaxFieldBytes = 1024;
  // What is read of the file at start-up: its tail, room for kCompactPastLines lines of capped
  // fields, so that any file, even one grown by other hands, costs a bounded read.
  static constexpr std::size_t kMaxReadBytes = std::size_t{8} << 20;

  // titles.tsv in files::stateDirectory(); "" when there is none.
  [[nodiscard]] static QString defaultPath();

  // Starts reading what `path` already holds, on the titles' thread (lines that are not three
  // fields are dropped); until that is done newest() knows only the titles noted since.
  explicit RecentTitles(QString path);
  // Waits for the writes still queued (a write never waits on a pipe or device).
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
  // Returns once the file has been read and every title noted so far is in it (or its write
  // failed).
  void flush();

 private:
  void run();
  void load();
  void append(const std::deque<TitleEntry>& batch);
  void compact();
  void warn(const files::Failure& failure);
  void warn(const std::string& why);
  [[nodiscard]] std::string nativePath() const;

  const QString path_;

  // Guarded by mutex_, shared by the window's thread and the titles' thread.
  mutable std::mutex mutex_;
  std::condition_variable wake_;    // the titles' thread: something to write, or stopping_
  std::condition_variable idle_;    // flush(): loaded_, nothing pending and nothing being written
  std::deque<TitleEntry> entries_;  // newest last, at most kKeepLines
  std::deque<TitleEntry> pending_;  // noted, not yet written; at most kKeepLines
  bool loaded_ = false;
  bool writing_ = false;
  bool stopping_ = false;

  // The titles' thread only: what it knows of the file.
  std::size_t fileLines_ = 0;  // lines in it, counted again when another program wrote to it
  long long knownSize_ = -1;   // its size after this program's last write; -1: unknown
  std::string problem_;        // the last reason told on stderr; empty after a good write

  std::thread thread_;  // last: it starts once everything above exists
};

}  // namespace radiolist
