#pragma once
// The program's state files ($XDG_STATE_HOME/radiolist/: titles.tsv, pages.tsv, loudness.tsv)
// are shared by every program of the user, whichever list each one runs on. One rule for all of
// them:
// - only a regular file is read or written: a symbolic link, pipe, device or directory at the
//   path is refused, never followed, never waited on and never replaced;
// - a change is made under a lock shared by the processes (flock of "<file>.lock" beside the
//   file, which is never renamed), and what it changes is read again under that lock, so that
//   no program writes over what another one wrote since it last looked;
// - a replacement is whole or nothing: a file beside it, synced, renamed over it.
//
// Threads: any but the window's (they touch the disk, and a lock may wait, bounded, for another
// process that holds it).

#include <sys/stat.h>

#include <chrono>
#include <string>
#include <string_view>
#include <utility>

namespace radiolist::state {

// How long a change waits for another program that holds the file's lock: it holds it for a
// read and a synced write of a small file, well under this even on a slow disk.
inline constexpr std::chrono::milliseconds kLockWait{3000};

// An owned descriptor, closed with it.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd();
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  [[nodiscard]] int get() const { return fd_; }
  // Closes now and tells whether it went well: on some file systems close is where a write fails.
  bool close();

 private:
  int fd_;
};

// "" for a regular file, else what the path is instead ("a symbolic link", "a pipe", ...).
[[nodiscard]] std::string_view notRegular(mode_t mode);

// The system's reason for `error`, in words.
[[nodiscard]] std::string errorText(int error);

struct Opened {
  Fd fd;              // -1 when refused, failed or missing
  struct stat st {};  // the open file's, when fd is open
  std::string why;    // why it was refused or failed; "" when opened or just not there
};

// Opens a state file with `flags` (O_RDONLY, or O_WRONLY | O_APPEND | O_CREAT, ...), only when
// it is a regular file. Anything else is refused before it is opened (opening a device can do
// things of its own) and again after, in case it took the file's place in between: O_NONBLOCK
// keeps that open from waiting for a pipe's other end, O_NOFOLLOW from following a link. A
// missing file, opened without O_CREAT, leaves both fd and why empty.
[[nodiscard]] Opened openStateFile(const std::string& path, int flags);

// Makes the missing directories above `path`, private to the user.
void makeParents(const std::string& path);

// The lock of one state file, between processes (and between objects of one process: each
// takes its own open of the lock file). Released with the object, or by the kernel with its
// holder.
class StateLock {
 public:
  // Waits at most `wait` for whoever holds it. The lock file is made beside `path` when missing
  // (with the directories above it); one that is not a regular file is refused.
  [[nodiscard]] static StateLock take(const std::string& path,
                                      std::chrono::milliseconds wait = kLockWait);
  [[nodiscard]] bool held() const { return fd_.get() >= 0; }
  // Why it is not held.
  [[nodiscard]] const std::string& why() const { return why_; }

 private:
  StateLock(Fd fd, std::string why) : fd_(std::move(fd)), why_(std::move(why)) {}
  Fd fd_;
  std::string why_;
};

// Replaces the file at `path` by `bytes`, whole or not at all; a file that is there and is not
// a regular file (a link, a pipe) is left as it is and refused. "" when done, else why not.
[[nodiscard]] std::string replaceStateFile(const std::string& path, std::string_view bytes);

}  // namespace radiolist::state
