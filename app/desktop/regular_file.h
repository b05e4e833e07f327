#pragma once
// Reading a small file the user may have put anything at: only a regular file of bounded size is
// read; a pipe, device or socket is refused without waiting on it (opened without blocking, then
// looked at).

#include <QByteArray>
#include <QString>

namespace radiolist {

struct RegularFileRead {
  QByteArray bytes;
  int error = 0;   // errno when it could not be read (ENOENT: there is none)
  QString reason;  // in words, for the user; "" when read
};

[[nodiscard]] RegularFileRead readRegularFile(const QString& path, qint64 limit);

// The system's reason for `error` in words, for a message (without a closing full stop).
[[nodiscard]] QString systemError(int error);

}  // namespace radiolist
