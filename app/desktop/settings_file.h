#pragma once
// The program's own settings (not the list's): a few "key=value" lines in
// $XDG_CONFIG_HOME/radiolist/settings (else ~/.config/radiolist/settings). Read once at start,
// bounded and without waiting on anything but a regular file; written whole (a file beside it,
// synced, renamed over it) on a thread of its own.

#include <QMap>
#include <QString>
#include <QThreadPool>

namespace radiolist {

class SettingsFile {
 public:
  static constexpr qint64 kMaxBytes = 64 * 1024;

  explicit SettingsFile(QString path);
  ~SettingsFile();
  [[nodiscard]] static QString defaultPath();

  [[nodiscard]] bool flag(const QString& key, bool otherwise) const;
  // Sets the value and writes the file soon after, off the caller's thread.
  void setFlag(const QString& key, bool on);

  // "key=value" lines to values and back; a line without '=' or too long is left out. Pure.
  [[nodiscard]] static QMap<QString, QString> parse(const QByteArray& bytes);
  [[nodiscard]] static QByteArray format(const QMap<QString, QString>& values);

 private:
  QString path_;
  QMap<QString, QString> values_;
  QThreadPool writer_;  // one thread: writes in the order asked
};

}  // namespace radiolist
