#include "files/file.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>

namespace radiolist::files {

int Failure::asErrno() const {
  switch (fault) {
    case Fault::None: return 0;
    case Fault::System:
    case Fault::WriteFailed: return error;
    case Fault::NotRegular: return S_ISDIR(type) ? EISDIR : EINVAL;
    case Fault::TooLarge: return EFBIG;
  }
  return EINVAL;
}

std::string systemText(int error) {
  std::string text = std::strerror(error);
  while (!text.empty() && std::strchr(" \t\r\n.", text.back()) != nullptr) text.pop_back();
  return text;
}

std::string_view kindOf(mode_t type) {
  return S_ISREG(type)    ? "a regular file"
         : S_ISDIR(type)  ? "a directory"
         : S_ISFIFO(type) ? "a pipe"
         : S_ISLNK(type)  ? "a symbolic link"
         : S_ISSOCK(type) ? "a socket"
                          : "a device";
}

std::string describe(const Failure& failure) {
  switch (failure.fault) {
    case Fault::None: return {};
    case Fault::System:
    case Fault::WriteFailed: return systemText(failure.error);
    case Fault::NotRegular:
      return "it is " + std::string(kindOf(failure.type)) + ", not a regular file";
    case Fault::TooLarge: return "it is larger than its bound";
  }
  return {};
}

void Fd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

bool Fd::close() { return ::close(std::exchange(fd_, -1)) == 0; }

Opened openRegular(int dir, const std::string& path, int flags, Links links, mode_t mode) {
  Opened opened;
  const bool refuseLinks = links == Links::Refuse;
  if (refuseLinks && ::fstatat(dir, path.c_str(), &opened.st, AT_SYMLINK_NOFOLLOW) == 0 &&
      !S_ISREG(opened.st.st_mode)) {
    opened.failure = Failure::notRegular(opened.st.st_mode);
    return opened;
  }
  Fd fd(::openat(dir, path.c_str(),
                 flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (refuseLinks ? O_NOFOLLOW : 0), mode));
  if (!fd.valid()) {
    // ELOOP under O_NOFOLLOW: a link put there since the look above.
    opened.failure =
        refuseLinks && errno == ELOOP ? Failure::notRegular(S_IFLNK) : Failure::system(errno);
    return opened;
  }
  if (::fstat(fd.get(), &opened.st) != 0)
    opened.failure = Failure::system(errno);
  else if (!S_ISREG(opened.st.st_mode))
    opened.failure = Failure::notRegular(opened.st.st_mode);
  if (!opened.failure.failed()) opened.fd = std::move(fd);
  return opened;
}

Read readAll(int fd, std::size_t limit) {
  Read read;
  struct stat st {};
  const std::size_t size =
      ::fstat(fd, &st) == 0 && st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 0;
  if (size > limit) return {{}, Failure::tooLarge()};
  // A byte more than the size it says, to see whether it grew while it was read.
  read.bytes.resize(size + 1);
  std::size_t got = 0;
  for (;;) {
    if (got == read.bytes.size()) {
      if (got > limit) return {{}, Failure::tooLarge()};
      read.bytes.resize(std::min(std::max(got * 2, std::size_t{65536}), limit + 1));
    }
    const ssize_t n = ::read(fd, read.bytes.data() + got, read.bytes.size() - got);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return {{}, Failure::system(errno)};
    }
    got += static_cast<std::size_t>(n);
  }
  read.bytes.resize(got);
  return read;
}

Read readFile(const std::string& path, std::size_t limit, Links links) {
  Opened file = openRegular(path, O_RDONLY, links);
  if (file.failure.failed()) return {{}, file.failure};
  return readAll(file.fd.get(), limit);
}

Failure writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t put = ::write(fd, bytes.data(), bytes.size());
    if (put < 0 && errno == EINTR) continue;
    // A write that takes nothing and says nothing: the file can grow no more.
    if (put <= 0) return {Fault::WriteFailed, put < 0 ? errno : ENOSPC, 0};
    bytes.remove_prefix(static_cast<std::size_t>(put));
  }
  return {};
}

namespace {

// Best effort: the new file takes the old one's owner and permission bits. Not its set-user-ID
// and set-group-ID bits: a copied bit would be one more way to make a file that runs as its
// owner. The sticky bit means nothing on a file.
void takeOverAttributes(int fd, const struct stat& old) {
  struct stat now {};
  if (::fstat(fd, &now) == 0 && (now.st_uid != old.st_uid || now.st_gid != old.st_gid)) {
    if (::fchown(fd, old.st_uid, old.st_gid) != 0)
      static_cast<void>(::fchown(fd, static_cast<uid_t>(-1), old.st_gid));
  }
  static_cast<void>(::fchmod(fd, old.st_mode & 0777));
}

// A new file beside the one it replaces, removed again unless it was renamed into place.
class TemporaryFile {
 public:
  TemporaryFile(int dir, const std::string& name, mode_t mode) : dir_(dir) {
    thread_local std::minstd_rand random{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
      name_ = "." + name + "." + std::to_string(random()) + ".tmp";
      fd_.reset(::openat(dir_, name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
      if (fd_.valid() || errno != EEXIST) break;
    }
    if (!fd_.valid()) error_ = errno;
  }
  ~TemporaryFile() {
    if (!committed_ && error_ == 0) ::unlinkat(dir_, name_.c_str(), 0);
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  [[nodiscard]] int error() const { return error_; }
  [[nodiscard]] Fd& fd() { return fd_; }
  [[nodiscard]] const std::string& name() const { return name_; }
  void commit() { committed_ = true; }

 private:
  int dir_;
  std::string name_;
  Fd fd_;
  int error_ = 0;
  bool committed_ = false;
};

}  // namespace

Failure replaceAt(int dir, const std::string& name, std::string_view bytes, mode_t newMode) {
  struct stat old {};
  const bool exists = ::fstatat(dir, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
  if (exists && !S_ISREG(old.st_mode)) return Failure::notRegular(old.st_mode);
  if (exists) {
    // The rename below would replace even a file the caller may not write; that must fail as a
    // write into it would. Opening it without O_TRUNC asks the question and changes nothing.
    const Opened probe = openRegular(dir, name, O_WRONLY, Links::Refuse);
    if (probe.failure.failed()) return probe.failure;
  }
  // Replacing a file: 0600 until it has the old one's bits, so nobody opens it early and reads
  // along.
  TemporaryFile temp(dir, name, exists ? 0600 : newMode);
  if (temp.error() != 0) return Failure::system(temp.error());
  if (exists) takeOverAttributes(temp.fd().get(), old);
  if (const Failure failed = writeAll(temp.fd().get(), bytes); failed.failed()) return failed;
  if (::fsync(temp.fd().get()) != 0 || !temp.fd().close()) return {Fault::WriteFailed, errno, 0};
  if (::renameat(dir, temp.name().c_str(), dir, name.c_str()) != 0) return Failure::system(errno);
  temp.commit();
  const Fd folder(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.valid()) static_cast<void>(::fsync(folder.get()));
  return {};
}

Failure replace(const std::string& path, std::string_view bytes, mode_t newMode) {
  if (path.empty()) return Failure::system(ENOENT);
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return replaceAt(AT_FDCWD, path, bytes, newMode);
  const Fd dir(
      ::open(slash == 0 ? "/" : path.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) return Failure::system(errno);
  return replaceAt(dir.get(), path.substr(slash + 1), bytes, newMode);
}

void makeParents(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string dir = path.substr(0, slash);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return;
  }
}

namespace {

std::string programDirectory(const char* variable, const char* underHome) {
  const char* base = std::getenv(variable);
  if (base != nullptr && base[0] == '/') return std::string(base) + "/radiolist";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + underHome + "/radiolist";
  return {};
}

}  // namespace

const std::string& stateDirectory() {
  static const std::string dir = programDirectory("XDG_STATE_HOME", "/.local/state");
  return dir;
}

const std::string& configDirectory() {
  static const std::string dir = programDirectory("XDG_CONFIG_HOME", "/.config");
  return dir;
}

}  // namespace radiolist::files
