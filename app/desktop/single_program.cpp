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
#include <QVariantList>
#include <QTimer>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <utility>

#include "app/log_domain.h"
#include "files/file.h"
#include "playback/log/log.h"

namespace radiolist {
namespace {

// Opens the lock directory, made 0700 when missing; the locks are only as good as its being
// this user's alone (no one else can take or replace a lock file in it).
int openLockDirectory(const QByteArray& lockDir, files::Fd& dir) {
  if (::mkdir(lockDir.constData(), 0700) != 0 && errno != EEXIST) return errno;
  dir.reset(::open(lockDir.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir.valid()) return errno;
  struct stat st {};
  if (::fstat(dir.get(), &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  if (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) return EPERM;
  return 0;
}

}  // namespace

QByteArray lockDirectory(uid_t uid, const QByteArray& runUser) {
  const QByteArray runtime = runUser + '/' + QByteArray::number(uid);
  struct stat st {};
  if (::lstat(runtime.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid &&
      (st.st_mode & 022) == 0)
    return runtime + "/radiolist";
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
  files::Fd dir;
  if (const int error = openLockDirectory(lockDir, dir)) return failed(error);
  files::Opened file = files::openRegular(dir.get(), lockFileName(listDir).toStdString(),
                                          O_RDWR | O_CREAT, files::Links::Refuse);
  if (file.failure.failed()) return failed(file.failure.asErrno());
  const int fd = file.fd.get();
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
    return errno == EWOULDBLOCK ? ListLock(State::Held, 0, std::move(file.fd)) : failed(errno);
  // Who holds it, for a second start to know the program it may hand over to.
  const std::string pid = std::to_string(::getpid()) + '\n';
  const files::Failure written =
      ::ftruncate(fd, 0) != 0 ? files::Failure::system(errno) : files::writeAll(fd, pid);
  if (written.failed())
    log::warning(kDesktopLog, "cannot write this program's id in its lock file (",
                 files::describe(written), "): a second start on the list will not hand over");
  return ListLock(State::Taken, 0, std::move(file.fd));
}

pid_t ListLock::holder() const {
  if (state_ != State::Held || !fd_.valid()) return 0;
  char text[24] = {};
  const ssize_t got = ::pread(fd_.get(), text, sizeof text - 1, 0);
  if (got <= 0) return 0;
  bool ok = false;
  const long pid = QByteArray(text, got).trimmed().toLong(&ok);
  return ok && pid > 0 ? static_cast<pid_t>(pid) : 0;
}

ListLock ListLock::takeForCurrentDirectory(QByteArray& listDir) {
  char* path = ::realpath(".", nullptr);  // at most PATH_MAX bytes
  if (path == nullptr) return failed(errno);
  listDir = path;
  std::free(path);
  return take(lockDirectory(::geteuid()), listDir);
}

namespace {

const QString kBus = QStringLiteral("org.freedesktop.DBus");
const QString kBusPath = QStringLiteral("/org/freedesktop/DBus");

QDBusMessage busCall(const QString& method, const QVariantList& arguments) {
  QDBusMessage message = QDBusMessage::createMethodCall(kBus, kBusPath, kBus, method);
  message.setArguments(arguments);
  return message;
}

QDBusError failure(const QDBusMessage& reply) {
  return reply.type() == QDBusMessage::ErrorMessage ? QDBusError(reply) : QDBusError();
}

// The name has no owner (yet).
bool notThereYet(const QDBusError& error) {
  return error.type() == QDBusError::ServiceUnknown ||
         error.name() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner");
}

// The other program's directory is this one (the list is keyed by it), but a path it is handed
// must not depend on that.
QStringList absolute(QStringList stations) {
  for (QString& item : stations)
    if (!item.contains(QLatin1String("://"))) item = QDir::current().absoluteFilePath(item);
  return stations;
}

QDBusMessage raiseCall(const QString& owner) {
  return QDBusMessage::createMethodCall(owner, QStringLiteral("/org/mpris/MediaPlayer2"),
                                        QStringLiteral("org.mpris.MediaPlayer2"),
                                        QStringLiteral("Raise"));
}

QDBusMessage addStationsCall(const QString& owner, const QStringList& stations) {
  QDBusMessage add = QDBusMessage::createMethodCall(
      owner, QStringLiteral("/org/radiolist/Radiolist"), QStringLiteral("org.radiolist.Radiolist1"),
      QStringLiteral("AddStations"));
  add << stations;
  return add;
}

// Sends `message`; `then` gets the reply in `loop`, which the pending call ends with.
void send(QDBusConnection& bus, QEventLoop& loop, const QDBusMessage& message,
          std::chrono::milliseconds wait, std::function<void(const QDBusMessage&)> then) {
  auto* pending =
      new QDBusPendingCallWatcher(bus.asyncCall(message, static_cast<int>(wait.count())), &loop);
  QObject::connect(pending, &QDBusPendingCallWatcher::finished, &loop,
                   [pending, then = std::move(then)] {
                     pending->deleteLater();
                     then(pending->reply());
                   });
}

}  // namespace

HandOver handOverToRunningProgram(const QString& busName, QStringList stations,
                                  std::chrono::milliseconds wait,
                                  const std::function<pid_t()>& holder) {
  HandOver result;
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return result;
  stations = absolute(std::move(stations));
  QEventLoop loop;
  const auto call = [&](const QDBusMessage& message,
                        std::function<void(const QDBusMessage&)> then) {
    send(bus, loop, message, wait, std::move(then));
  };
  // One attempt at a time: the name's owner may come while one is on its way, and is then
  // tried again when that attempt finds no one.
  bool trying = false;
  bool again = false;
  std::function<void()> attempt;
  const auto notYet = [&] {
    trying = false;
    if (std::exchange(again, false)) attempt();
  };
  // All calls go to the owner found, by its unique name: not to whoever owns the name later.
  const auto raise = [&](const QString& owner) {
    call(raiseCall(owner), [&](const QDBusMessage& reply) {
      result.answered = result.answered || !failure(reply).isValid();
      loop.exit();
    });
  };
  // The stations first, then the window in front; an error the program gives is its answer.
  const auto hand = [&](const QString& owner) {
    if (stations.isEmpty()) return raise(owner);
    call(addStationsCall(owner, stations), [&, owner](const QDBusMessage& reply) {
      const QDBusError error = failure(reply);
      if (error.isValid() && !error.name().startsWith(QLatin1String("org.radiolist."))) {
        loop.exit();  // not the program's own answer: it could not be reached
        return;
      }
      result.answered = true;
      if (error.isValid()) result.error = error.message();
      raise(owner);
    });
  };
  // Only the process holding the list's lock is handed anything: another one may own the name
  // (it asked first), and would swallow what it is given.
  const auto verify = [&](const QString& owner) {
    call(busCall(QStringLiteral("GetConnectionUnixProcessID"), {owner}),
         [&, owner](const QDBusMessage& reply) {
           if (notThereYet(failure(reply))) return notYet();
           const pid_t pid = reply.type() == QDBusMessage::ReplyMessage
                                 ? static_cast<pid_t>(reply.arguments().value(0).toUInt())
                                 : 0;
           result.holder = holder();
           if (pid > 0 && pid == result.holder) return hand(owner);
           result.stranger = pid > 0 ? pid : -1;
           loop.exit();
         });
  };
  attempt = [&] {
    if (std::exchange(trying, true)) {
      again = true;
      return;
    }
    call(busCall(QStringLiteral("GetNameOwner"), {busName}), [&](const QDBusMessage& reply) {
      const QDBusError error = failure(reply);
      if (notThereYet(error)) return notYet();  // the watcher calls again when it is there
      if (error.isValid()) return loop.exit();
      verify(reply.arguments().value(0).toString());
    });
  };
  // Watching from before the first call: a name taken after that call failed is still seen.
  QDBusServiceWatcher watcher(busName, bus, QDBusServiceWatcher::WatchForRegistration);
  QObject::connect(&watcher, &QDBusServiceWatcher::serviceRegistered, &loop, [&] { attempt(); });
  QTimer::singleShot(wait, &loop, [&] { loop.exit(); });
  attempt();
  loop.exec();
  return result;
}

void claimListBusName(const QString& busName) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  constexpr uint kDoNotQueue = 4;  // DBUS_NAME_FLAG_DO_NOT_QUEUE
  constexpr uint kPrimaryOwner = 1, kAlreadyOwner = 4;
  auto* pending = new QDBusPendingCallWatcher(
      bus.asyncCall(busCall(QStringLiteral("RequestName"), {busName, kDoNotQueue})),
      QCoreApplication::instance());
  QObject::connect(pending, &QDBusPendingCallWatcher::finished, pending, [pending, busName] {
    pending->deleteLater();
    const QDBusMessage reply = pending->reply();
    if (reply.type() == QDBusMessage::ReplyMessage) {
      const uint answer = reply.arguments().value(0).toUInt();
      if (answer == kPrimaryOwner || answer == kAlreadyOwner) return;
    }
    const QString why = reply.type() == QDBusMessage::ErrorMessage
                            ? reply.errorMessage()
                            : QStringLiteral("another process owns it");
    log::warning(kDesktopLog, "cannot own the bus name ", busName.toStdString(), " (",
                 why.toStdString(), "): a second start on this list cannot hand over to it");
  });
}

}  // namespace radiolist
