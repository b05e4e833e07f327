// File operations on list files. Saves go through a temporary file and a rename, so the list
// on disk is always either the old one or the new one.

#include "channels/list_file.h"

#include "text/utf8.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace radiolist {

namespace fs = std::filesystem;

namespace {

// The system's text for an error, as the messages want it: without trailing blanks, line
// breaks and full stops. strerror speaks the locale's language and character set, which is
// what the ANSI page stands for.
std::string errorText(int err, const CodePage& ansi) {
  std::string text = std::strerror(err);
  while (!text.empty() && std::strchr(" \t\r\n.", text.back()) != nullptr) text.pop_back();
  std::string utf8Text;
  utf8::append(ansi.decode(text), utf8Text);
  return utf8Text;
}

std::string fullPath(const fs::path& path) {
  std::error_code ec;
  const fs::path absolute = fs::absolute(path, ec);
  return utf8::sanitized(ec ? path.native() : absolute.native());
}

[[noreturn]] void throwCannotOpen(const fs::path& path, int err, const CodePage& ansi) {
  throw ListFileError("Cannot open file \"" + fullPath(path) + "\". " + errorText(err, ansi), err);
}

[[noreturn]] void throwCannotCreate(const fs::path& path, int err, const CodePage& ansi) {
  throw ListFileError("Cannot create file \"" + fullPath(path) + "\". " + errorText(err, ansi),
                      err);
}

[[noreturn]] void throwWriteError() { throw ListFileError("Stream write error"); }

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  [[nodiscard]] int get() const { return fd_; }
  [[nodiscard]] bool valid() const { return fd_ >= 0; }
  [[nodiscard]] int release() { return std::exchange(fd_, -1); }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes now and reports the result: on some file systems close is where a write fails.
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

constexpr int kMaxLinks = 40;  // as the kernel allows in one path

// Where a list file's name leads: the directory that holds the entry and its name there, both
// found by resolve(); `st` is the entry's status when it exists. It is never a symbolic link.
struct ListEntry {
  FileDescriptor dir{-1};
  std::string name;
  bool exists = false;
  struct stat st {};
};

// The kernel's protected-symlinks rule: in a sticky world-writable directory (/tmp) only a link
// of our own or of the directory's owner is followed, so nobody can plant a link there that
// sends another user's save into a file of that user's.
bool mayFollow(const struct stat& link, const struct stat& dir) {
  const bool shared = (dir.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH);
  return !shared || link.st_uid == ::geteuid() || link.st_uid == dir.st_uid;
}

void pushComponents(std::string_view path, std::vector<std::string>& pending) {
  // pending is walked from its back, so the first component goes on last.
  std::size_t end = path.size();
  while (end > 0) {
    const std::size_t slash = path.rfind('/', end - 1);
    const std::size_t begin = slash == std::string_view::npos ? 0 : slash + 1;
    if (begin < end) pending.emplace_back(path.substr(begin, end - begin));
    if (slash == std::string_view::npos) break;
    end = slash;
  }
}

// Resolves the path as open(2) would, one component at a time, and follows each symbolic link
// only where the protected-symlinks rule allows. The kernel applies that rule only when
// fs.protected_symlinks is on, and containers often have it off; checked here it holds
// everywhere. Every step is pinned by a descriptor (the link itself is opened before it is
// read), so nobody can swap a directory or link between the check and the use: the save then
// creates its temporary file and renames it inside entry.dir. Returns 0 or an errno value.
int resolve(const fs::path& path, ListEntry& entry) {
  entry.dir.reset(::open(path.is_absolute() ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!entry.dir.valid()) return errno;
  std::vector<std::string> pending;
  pushComponents(path.native(), pending);
  int links = 0;
  while (!pending.empty()) {
    const std::string name = std::move(pending.back());
    pending.pop_back();
    if (name == ".") continue;
    FileDescriptor node(::openat(entry.dir.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!node.valid()) {
      if (errno != ENOENT || !pending.empty()) return errno;
      entry.name = name;  // a new file, or the end of a link that points nowhere yet
      return 0;
    }
    struct stat st {};
    if (::fstat(node.get(), &st) != 0) return errno;
    if (S_ISLNK(st.st_mode)) {
      struct stat dirSt {};
      if (::fstat(entry.dir.get(), &dirSt) != 0) return errno;
      if (!mayFollow(st, dirSt)) return EACCES;  // what the kernel answers
      if (++links > kMaxLinks) return ELOOP;
      std::string target(PATH_MAX, '\0');
      const ssize_t length = ::readlinkat(node.get(), "", target.data(), target.size());
      if (length < 0) return errno;
      if (length == 0 || static_cast<std::size_t>(length) == target.size())
        return length == 0 ? ENOENT : ENAMETOOLONG;
      target.resize(static_cast<std::size_t>(length));
      if (target.front() == '/') {
        entry.dir.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!entry.dir.valid()) return errno;
      }
      pushComponents(target, pending);
      continue;
    }
    if (pending.empty()) {
      entry.name = name;
      entry.exists = true;
      entry.st = st;
      return 0;
    }
    if (!S_ISDIR(st.st_mode)) return ENOTDIR;
    entry.dir.reset(node.release());
  }
  return EISDIR;  // the path ends in a directory ("dir/", "/")
}

// 0 for a regular file, else the errno value that refuses it: EISDIR for a directory, EINVAL
// for the rest (pipes, devices, sockets), which have no end a list could be read to.
int notRegular(const struct stat& st) {
  if (S_ISREG(st.st_mode)) return 0;
  return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
}

// Opens the resolved entry if it is a regular file, else returns why not (0 or an errno value).
// Anything else is refused before it is opened, since opening a device can have effects of its
// own (a tape rewinds when closed). O_NONBLOCK keeps the open from waiting for a writer when a
// pipe takes the file's place in between; fstat then refuses it. A regular file ignores the
// flag. O_NOFOLLOW: a link put there in between is not followed behind resolve()'s back.
int openRegular(const ListEntry& entry, int flags, FileDescriptor& file, struct stat& st) {
  if (entry.exists) {
    if (const int err = notRegular(entry.st)) return err;
  }
  file.reset(::openat(entry.dir.get(), entry.name.c_str(),
                      flags | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
  if (!file.valid()) return errno;
  if (::fstat(file.get(), &st) != 0) return errno;
  return notRegular(st);
}

std::string readWholeFile(const fs::path& path, const CodePage& ansi) {
  ListEntry entry;
  FileDescriptor file(-1);
  struct stat st {};
  int err = resolve(path, entry);
  if (err == 0) err = openRegular(entry, O_RDONLY, file, st);
  if (err == 0 && static_cast<std::uintmax_t>(st.st_size) > kMaxListFileBytes) err = EFBIG;
  if (err != 0) throwCannotOpen(path, err, ansi);
  // A byte more than the size, to see whether the file grew while we read it.
  std::string bytes(static_cast<std::size_t>(st.st_size) + 1, '\0');
  std::size_t size = 0;
  for (;;) {
    if (size == bytes.size()) {
      if (size > kMaxListFileBytes) throwCannotOpen(path, EFBIG, ansi);
      bytes.resize(std::min(std::max(size * 2, std::size_t{65536}), kMaxListFileBytes + 1));
    }
    const ssize_t got = ::read(file.get(), bytes.data() + size, bytes.size() - size);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      throwCannotOpen(path, errno, ansi);
    }
    size += static_cast<std::size_t>(got);
  }
  bytes.resize(size);
  return bytes;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t put = ::write(fd, bytes.data(), bytes.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(put));
  }
  return true;
}

// A new file in the list's directory, removed again unless it was renamed into place.
class TemporaryFile {
 public:
  // mode: 0600 when it replaces a file, whose own bits are given to it before anything is
  // written; never wider than the result, so nobody can open it early and read along.
  TemporaryFile(const ListEntry& entry, mode_t mode, const fs::path& shown, const CodePage& ansi)
      : dir_(entry.dir.get()), file_(-1) {
    thread_local std::minstd_rand random{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
      name_ = "." + entry.name + "." + std::to_string(random()) + ".tmp";
      file_.reset(::openat(dir_, name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
      if (file_.valid()) return;
      if (errno != EEXIST) throwCannotCreate(shown, errno, ansi);
    }
    throwCannotCreate(shown, EEXIST, ansi);
  }
  ~TemporaryFile() {
    if (!committed_) ::unlinkat(dir_, name_.c_str(), 0);
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  [[nodiscard]] int fd() const { return file_.get(); }
  [[nodiscard]] bool close() { return file_.close(); }
  [[nodiscard]] const std::string& name() const { return name_; }
  void commit() { committed_ = true; }

 private:
  int dir_;
  std::string name_;
  FileDescriptor file_;
  bool committed_ = false;
};

// Best effort: the new file takes the old one's owner and permission bits. Not its set-user-ID
// and set-group-ID bits: a list is no program, and a copied bit would be one more way to make a
// file that runs as its owner. The sticky bit means nothing on a file.
void takeOverAttributes(int fd, const struct stat& old) {
  struct stat now {};
  if (::fstat(fd, &now) == 0 && (now.st_uid != old.st_uid || now.st_gid != old.st_gid)) {
    if (::fchown(fd, old.st_uid, old.st_gid) != 0)
      static_cast<void>(::fchown(fd, static_cast<uid_t>(-1), old.st_gid));
  }
  static_cast<void>(::fchmod(fd, old.st_mode & 0777));
}

void syncDirectory(int dir) {
  FileDescriptor d(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (d.valid()) static_cast<void>(::fsync(d.get()));
}

}  // namespace

ListLines loadListFile(const fs::path& path, const CodePage& ansi, const CodePage& legacyFallback) {
  return decodeListBytes(readWholeFile(path, ansi), ansi, legacyFallback);
}

std::size_t countListFile(const fs::path& path, const CodePage& ansi,
                          const CodePage& legacyFallback) {
  return countListBytes(readWholeFile(path, ansi), ansi, legacyFallback);
}

void saveListFile(const fs::path& path, std::span<const std::u16string> lines,
                  const CodePage& ansi) {
  const std::string bytes = encodeListBytes(lines, ansi);
  if (bytes.size() > kMaxListFileBytes) throwCannotCreate(path, EFBIG, ansi);
  ListEntry entry;
  if (const int err = resolve(path, entry)) throwCannotCreate(path, err, ansi);
  if (entry.exists) {
    // The rename below would replace even a read-only file; saving into one must fail as
    // it always did. Opening without O_TRUNC asks the question and changes nothing.
    FileDescriptor probe(-1);
    struct stat st {};
    if (const int err = openRegular(entry, O_WRONLY, probe, st)) throwCannotCreate(path, err, ansi);
  }

  // A new list gets 0666 less the umask from the start, as a plain create would: there is
  // nothing older in it to keep from anyone.
  TemporaryFile temp(entry, entry.exists ? 0600 : 0666, path, ansi);
  if (entry.exists) takeOverAttributes(temp.fd(), entry.st);
  if (!writeAll(temp.fd(), bytes) || ::fsync(temp.fd()) != 0 || !temp.close()) throwWriteError();
  if (::renameat(entry.dir.get(), temp.name().c_str(), entry.dir.get(), entry.name.c_str()) != 0)
    throwCannotCreate(path, errno, ansi);
  temp.commit();
  syncDirectory(entry.dir.get());
}

}  // namespace radiolist
