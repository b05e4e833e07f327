#pragma once
// The program's state files ($XDG_STATE_HOME/radiolist/: titles.tsv, pages.tsv, loudness.tsv)
// are shared by every program of the user, whichever list each one runs on. One rule for all of
// them:
// - only a regular file is read or written: a symbolic link, pipe, device or directory at the
//   path is refused, never followed, never waited on and never replaced (files::openRegular with
//   Links::Refuse, files::replace);
// - a change is made under a lock shared by the processes (flock of "<file>.lock" beside the
//   file, which is never renamed), and what it changes is read again under that lock, so that
//   no program writes over what another one wrote since it last looked;
// - a replacement is whole or nothing (files::replace).
//
// Threads: any but the window's (they touch the disk, and a lock may wait, bounded, for another
// process that holds it).

#include <chrono>
#include <string>
#include <utility>

#include "files/file.h"

namespace radiolist::state {

// How long a change waits for another program that holds the file's lock: it holds it for a
// read and a synced write of a small file, well under this even on a slow disk.
inline constexpr std::chrono::milliseconds kLockWait{3000};

// The lock of one state file, between processes (and between objects of one process: each
// takes its own open of the lock file). Released with the object, or by the kernel with its
// holder.
class StateLock {
 public:
  // Waits at most `wait` for whoever holds it. The lock file is made beside `path` when missing
  // (with the directories above it); one that is not a regular file is refused.
  [[nodiscard]] static StateLock take(const std::string& path,
                                      std::chrono::milliseconds wait = kLockWait);
  [[nodiscard]] bool held() const { return fd_.valid(); }
  // Why it is not held.
  [[nodiscard]] const std::string& why() const { return why_; }

 private:
  StateLock(files::Fd fd, std::string why) : fd_(std::move(fd)), why_(std::move(why)) {}
  files::Fd fd_;
  std::string why_;
};

}  // namespace radiolist::state
