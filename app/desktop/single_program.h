#pragma once
// One list, one program. The list is the process's current directory (its canonical path); a
// lock file keyed by it is held for the life of the program, so that two starts on the same
// Name.txt/url.txt never write over each other's edits. A second start hands over to the first
// on the session bus (it raises the first's window) and ends; without a bus it says so in an
// error box. Everything here runs on the UI thread before the window exists, except
// claimListBusName, which never waits for the bus.

#include <sys/types.h>

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <utility>

#include "files/file.h"

namespace radiolist {

// Where the lock files live: one place per user, whatever the environment says, so that every
// start of the program on a list finds the same lock. "<runUser>/<uid>/radiolist" when
// "<runUser>/<uid>" is the user's runtime directory (a directory, not a link, owned by the user
// and writable by no one else), else the user's private "/tmp/radiolist-<uid>" (ListLock refuses
// one that someone else made).
[[nodiscard]] QByteArray lockDirectory(uid_t uid, const QByteArray& runUser = "/run/user");
// A list directory's key: 32 hex digits of the SHA-256 of its path, so that any path makes a
// short file name and a valid bus name element.
[[nodiscard]] QByteArray listKey(const QByteArray& listDir);
// "list-<key>.lock", and its path in `lockDir`.
[[nodiscard]] QByteArray lockFileName(const QByteArray& listDir);
[[nodiscard]] QByteArray lockFilePath(const QByteArray& lockDir, const QByteArray& listDir);
// The bus name the program on that list owns beside its media controls' name.
[[nodiscard]] QString listBusName(const QByteArray& listDir);
// What a second start that cannot hand over says.
[[nodiscard]] QString alreadyRunningText(const QByteArray& listDir);

// The lock on one list directory. The kernel drops it with its holder, so the file of a program
// that died does not count.
class ListLock {
 public:
  enum class State { Taken, Held, Failed };

  // Tries once and never waits: makes `lockDir` (0700) when it is missing and refuses one that
  // is not a directory of this user's alone; opens the lock file (a file that is not a regular
  // file is refused without waiting on it) and locks it, then writes this process's id in it.
  // Held: another open of it holds the lock.
  static ListLock take(const QByteArray& lockDir, const QByteArray& listDir);
  // The lock of the current directory's list (its path goes to `listDir`) in
  // lockDirectory(this user).
  static ListLock takeForCurrentDirectory(QByteArray& listDir);

  ListLock(ListLock&& other) noexcept = default;
  ListLock& operator=(ListLock&& other) noexcept = default;

  [[nodiscard]] State state() const { return state_; }
  // errno value when Failed.
  [[nodiscard]] int error() const { return error_; }
  // When Held: the process id its holder wrote in the lock file, read now; 0 when there is none
  // (yet).
  [[nodiscard]] pid_t holder() const;

 private:
  ListLock(State state, int error, files::Fd fd)
      : state_(state), error_(error), fd_(std::move(fd)) {}
  static ListLock failed(int error) { return ListLock(State::Failed, error, files::Fd()); }
  State state_;
  int error_;
  files::Fd fd_;  // the open lock file while Taken or Held
};

// What the program holding the list said to a second start.
struct HandOver {
  bool answered = false;  // it was reached
  QString error;          // its answer to AddStations when that failed
  // The process that owns the list's bus name when it is not the lock's holder (then nothing was
  // handed to it), with the holder's id, 0 when unknown.
  pid_t stranger = 0;
  pid_t holder = 0;
};
// Hands `stations` (file paths, made absolute here, or addresses) to the program holding the
// list, through its AddStations, and asks it to show its window: waits up to `wait` for some
// process to own `busName` (the program may still be starting), and calls it only when that
// process is the one `holder` names (the lock file's), so that nothing goes to another process
// that took the name. Runs a local event loop, which QCoreApplication::exit() also ends.
[[nodiscard]] HandOver handOverToRunningProgram(const QString& busName, QStringList stations,
                                                std::chrono::milliseconds wait,
                                                const std::function<pid_t()>& holder);
// Requests `busName` on the session bus without waiting for the answer; when the answer is a
// refusal (another process owns it), the log says so: a second start on the list then cannot
// hand over to this program.
void claimListBusName(const QString& busName);

}  // namespace radiolist
