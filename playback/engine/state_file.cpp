#include "playback/engine/state_file.h"

#include <sys/file.h>

#include <thread>

namespace radiolist::state {

StateLock StateLock::take(const std::string& path, std::chrono::milliseconds wait) {
  files::makeParents(path);
  files::Opened file = files::openRegular(path + ".lock", O_RDONLY | O_CREAT, files::Links::Refuse);
  if (file.failure.failed())
    return {files::Fd(), "its lock file: " + files::describe(file.failure)};
  // flock has no timeout of its own, and the holder lets go within a synced write: tries at
  // growing intervals, so a wait costs a few wake-ups, and none when the lock is free.
  const auto until = std::chrono::steady_clock::now() + wait;
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (::flock(file.fd.get(), LOCK_EX | LOCK_NB) == 0) return {std::move(file.fd), {}};
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return {files::Fd(), "its lock: " + files::systemText(errno)};
    const auto now = std::chrono::steady_clock::now();
    if (now >= until) return {files::Fd(), "another program held its lock for too long"};
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, until - now));
    pause = std::min(pause * 2, std::chrono::milliseconds(100));
  }
}

}  // namespace radiolist::state
