#include "playback/engine/state_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace radiolist::state {

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

bool Fd::close() { return ::close(std::exchange(fd_, -1)) == 0; }

std::string_view notRegular(mode_t mode) {
  if (S_ISREG(mode)) return {};
  return S_ISDIR(mode)    ? "a directory"
         : S_ISFIFO(mode) ? "a pipe"
         : S_ISLNK(mode)  ? "a symbolic link"
         : S_ISSOCK(mode) ? "a socket"
                          : "a device";
}

std::string errorText(int error) { return std::strerror(error); }

namespace {

std::string refusal(mode_t mode) {
  return "it is " + std::string(notRegular(mode)) + ", not a regular file";
}

}  // namespace

Opened openStateFile(const std::string& path, int flags) {
  Opened opened;
  if (::lstat(path.c_str(), &opened.st) == 0 && !S_ISREG(opened.st.st_mode)) {
    opened.why = refusal(opened.st.st_mode);
    return opened;
  }
  Fd fd(::open(path.c_str(), flags | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600));
  if (fd.get() < 0) {
    // ELOOP: a link put there since the look above.
    if (errno == ELOOP)
      opened.why = refusal(S_IFLNK);
    else if (errno != ENOENT || (flags & O_CREAT) != 0)
      opened.why = errorText(errno);
    return opened;
  }
  if (::fstat(fd.get(), &opened.st) != 0)
    opened.why = errorText(errno);
  else if (!S_ISREG(opened.st.st_mode))
    opened.why = refusal(opened.st.st_mode);
  if (opened.why.empty()) opened.fd = std::move(fd);
  return opened;
}

void makeParents(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string dir = path.substr(0, slash);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return;  // the open after tells why
  }
}

StateLock StateLock::take(const std::string& path, std::chrono::milliseconds wait) {
  makeParents(path);
  Opened file = openStateFile(path + ".lock", O_RDONLY | O_CREAT);
  if (file.fd.get() < 0) return {Fd(), "its lock file: " + file.why};
  // flock has no timeout of its own, and the holder lets go within a synced write: tries at
  // growing intervals, so a wait costs a few wake-ups, and none when the lock is free.
  const auto until = std::chrono::steady_clock::now() + wait;
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (::flock(file.fd.get(), LOCK_EX | LOCK_NB) == 0) return {std::move(file.fd), {}};
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return {Fd(), "its lock: " + errorText(errno)};
    const auto now = std::chrono::steady_clock::now();
    if (now >= until) return {Fd(), "another program held its lock for too long"};
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, until - now));
    pause = std::min(pause * 2, std::chrono::milliseconds(100));
  }
}

namespace {

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t put = ::write(fd, bytes.data(), bytes.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(put));
  }
  return true;
}

}  // namespace

std::string replaceStateFile(const std::string& path, std::string_view bytes) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return refusal(st.st_mode);
  makeParents(path);
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  std::string temp = dir + "." + path.substr(dir.size()) + ".XXXXXX";
  Fd fd(::mkostemp(temp.data(), O_CLOEXEC));  // 0600
  if (fd.get() < 0) return errorText(errno);
  if (!writeAll(fd.get(), bytes) || ::fsync(fd.get()) != 0 || !fd.close() ||
      ::rename(temp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    return errorText(error);
  }
  return {};
}

}  // namespace radiolist::state
