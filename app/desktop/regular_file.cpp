#include "app/desktop/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <cerrno>
#include <cstring>

namespace radiolist {

namespace {

RegularFileRead failed(int error, QString reason = {}) {
  return {{}, error, reason.isEmpty() ? systemError(error) : std::move(reason)};
}

}  // namespace

RegularFileRead readRegularFile(const QString& path, qint64 limit) {
  const QByteArray native = QFile::encodeName(path);
  const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return failed(errno);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) return failed(errno);
  if (S_ISDIR(st.st_mode)) return failed(EISDIR);
  if (!S_ISREG(st.st_mode))
    return failed(EINVAL, QCoreApplication::translate("radiolist::StationIntake",
                                                      "It is not a regular file"));
  if (st.st_size > limit) return failed(EFBIG);
  RegularFileRead read;
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return failed(errno);
    if (got == 0) break;
    // A file that grows while it is read is refused at the limit, as a larger one is.
    if (read.bytes.size() + got > limit) return failed(EFBIG);
    read.bytes.append(buffer, static_cast<qsizetype>(got));
  }
  return read;
}

QString systemError(int error) {
  QString text = QString::fromLocal8Bit(std::strerror(error));
  while (!text.isEmpty() && (text.back().isSpace() || text.back() == u'.')) text.chop(1);
  return text;
}

}  // namespace radiolist
