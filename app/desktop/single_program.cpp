#include "app/desktop/single_program.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDBusConnection>
#include <QDir>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QEventLoop>
#include <QFile>
#include <QTimer>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <utility>

namespace radiolist {
namespace {

// Closes a descriptor on every way out of a function.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
  int release() { return std::exchange(fd, -1); }
};

// Opens the lock directory, made 0700 when missing; the locks are only as good as its being
// this user's alone (no one else can take or replace a lock file in it).
int openLockDirectory(const QByteArray& lockDir, Descriptor& dir) {
  if (::mkdir(lockDir.constData(), 0700) != 0 && errno != EEXIST) return errno;
  dir.fd = ::open(lockDir.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir.fd < 0) return errno;
  struct stat st {};
  if (::fstat(dir.fd, &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  if (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) return EPERM;
  return 0;
}

}  // namespace

QByteArray lockDirectory(const QByteArray& runtimeDir, uid_t uid) {
  if (runtimeDir.startsWith('/')) return runtimeDir + "/radiolist";
  return "/tmp/radiolist-" + QByteArray::number(uid);
}

QByteArray listKey(const QByteArray& listDir) {
  return QCryptographicHash::hash(listDir, QCryptographicHash::Sha256).left(16).toHex();
}

QByteArray lockFileName(const QByteArray& listDir) { return "list-" + listKey(listDir) + ".lock"; }

QByteArray lockFilePath(const QByteArray& lockDir, const QByteArray& listDir) {
  return lockDir + '/' + lockFileName(listDir);
}

QString listBusName(const QByteArray& listDir) {
  return QStringLiteral("org.radiolist.list.h") + QString::fromLatin1(listKey(listDir));
}

QString alreadyRunningText(const QByteArray& listDir) {
  return QCoreApplication::translate("radiolist",
                                     "Another radiolist is already running on the list in \"%1\"")
      .arg(QFile::decodeName(listDir));
}

ListLock ListLock::take(const QByteArray& lockDir, const QByteArray& listDir) {
  Descriptor dir{-1};
  if (const int error = openLockDirectory(lockDir, dir)) return failed(error);
  const QByteArray name = lockFileName(listDir);
  // O_NONBLOCK: a pipe put in its place does not hold the open; fstat then refuses it.
  Descriptor file{::openat(dir.fd, name.constData(),
                           O_RDONLY | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                           0600)};
  if (file.fd < 0) return failed(errno);
  struct stat st {};
  if (::fstat(file.fd, &st) != 0) return failed(errno);
  if (!S_ISREG(st.st_mode)) return failed(EINVAL);
  if (::flock(file.fd, LOCK_EX | LOCK_NB) != 0)
    return errno == EWOULDBLOCK ? ListLock(State::Held, 0, -1) : failed(errno);
  return ListLock(State::Taken, 0, file.release());
}

ListLock ListLock::takeForCurrentDirectory(QByteArray& listDir) {
  char* path = ::realpath(".", nullptr);  // at most PATH_MAX bytes
  if (path == nullptr) return failed(errno);
  listDir = path;
  std::free(path);
  return take(lockDirectory(qgetenv("XDG_RUNTIME_DIR"), ::geteuid()), listDir);
}

ListLock::ListLock(ListLock&& other) noexcept
    : state_(other.state_), error_(other.error_), fd_(std::exchange(other.fd_, -1)) {}

ListLock& ListLock::operator=(ListLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    state_ = other.state_;
    error_ = other.error_;
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

ListLock::~ListLock() {
  if (fd_ >= 0) ::close(fd_);
}

HandOver handOverToRunningProgram(const QString& busName, QStringList stations,
                                  std::chrono::milliseconds wait) {
  HandOver result;
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return result;
  // The other program's directory is this one (the list is keyed by it), but a path it is
  // handed must not depend on that.
  for (QString& item : stations)
    if (!item.contains(QLatin1String("://"))) item = QDir::current().absoluteFilePath(item);
  QEventLoop loop;
  const auto send = [&](const QDBusMessage& message, std::function<void(const QDBusError&)> then) {
    auto* pending =
        new QDBusPendingCallWatcher(bus.asyncCall(message, static_cast<int>(wait.count())), &loop);
    QObject::connect(pending, &QDBusPendingCallWatcher::finished, &loop,
                     [pending, then = std::move(then)] {
                       pending->deleteLater();
                       then(pending->error());
                     });
  };
  const auto notThereYet = [](const QDBusError& error) {
    return error.type() == QDBusError::ServiceUnknown ||
           error.name() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner");
  };
  const auto raise = [&] {
    send(QDBusMessage::createMethodCall(busName, QStringLiteral("/org/mpris/MediaPlayer2"),
                                        QStringLiteral("org.mpris.MediaPlayer2"),
                                        QStringLiteral("Raise")),
         [&](const QDBusError& error) {
           if (notThereYet(error)) return;  // the watcher calls again when it is there
           result.answered = result.answered || !error.isValid();
           loop.exit();
         });
  };
  // The stations first, then the window in front; an error the program gives is its answer.
  const std::function<void()> call = [&] {
    if (stations.isEmpty()) return raise();
    QDBusMessage add = QDBusMessage::createMethodCall(
        busName, QStringLiteral("/org/radiolist/Radiolist"),
        QStringLiteral("org.radiolist.Radiolist1"), QStringLiteral("AddStations"));
    add << stations;
    send(add, [&](const QDBusError& error) {
      if (notThereYet(error)) return;
      if (error.isValid() && !error.name().startsWith(QLatin1String("org.radiolist."))) {
        loop.exit();  // not the program's own answer: it could not be reached
        return;
      }
      result.answered = true;
      if (error.isValid()) result.error = error.message();
      raise();
    });
  };
  // Watching from before the first call: a name taken after that call failed is still seen.
  QDBusServiceWatcher watcher(busName, bus, QDBusServiceWatcher::WatchForRegistration);
  QObject::connect(&watcher, &QDBusServiceWatcher::serviceRegistered, &loop, call);
  QTimer::singleShot(wait, &loop, [&] { loop.exit(); });
  call();
  loop.exec();
  return result;
}

void claimListBusName(const QString& busName) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  QDBusMessage request = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("RequestName"));
  constexpr uint kDoNotQueue = 4;  // DBUS_NAME_FLAG_DO_NOT_QUEUE
  request << busName << kDoNotQueue;
  bus.send(request);
}

}  // namespace radiolist
