#pragma once
// Files the program reads and writes that someone else may have put anything at: list files,
// state files, settings, playlists, glyphs, the list lock. Written once, here:
// - an owning descriptor;
// - opening only a regular file, never waiting (O_NONBLOCK, so a pipe at the path does not hold
//   the open) and looking at what was opened (fstat), so a pipe, device or directory is refused;
//   with Links::Refuse a symbolic link is refused too, before the open and by O_NOFOLLOW;
// - a bounded read, "too large" told as such, also for a file that grows while it is read;
// - write-all (EINTR, short writes);
// - an atomic replace: a temporary file in the same folder, synced, renamed over the old one,
//   which keeps the old one's permission bits; the temporary file never stays behind;
// - the program's state and config directories.
// Failures come back as values (what went wrong, and errno), never as sentences: whoever shows
// one words it.
//
// Nothing here keeps state but the two directories (found once); any thread may call, but not
// the window's for a file that may sit on a slow disk.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace radiolist::files {

enum class Fault : std::uint8_t {
  None,
  System,       // the system refused: `error` (ENOENT: there is nothing at the path)
  NotRegular,   // a directory, symbolic link, pipe, device or socket is there: `type` says which
  TooLarge,     // larger than the caller's bound (or it grew past it while read)
  WriteFailed,  // writing the content failed part way (`error`: a full disk, a size limit, ...)
};

struct Failure {
  Fault fault = Fault::None;
  int error = 0;    // errno, for System and WriteFailed
  mode_t type = 0;  // S_IFMT of what is at the path, for NotRegular

  [[nodiscard]] static Failure system(int error) { return {Fault::System, error, 0}; }
  [[nodiscard]] static Failure notRegular(mode_t mode) {
    return {Fault::NotRegular, 0, static_cast<mode_t>(mode & S_IFMT)};
  }
  [[nodiscard]] static Failure tooLarge() { return {Fault::TooLarge, 0, 0}; }

  [[nodiscard]] bool failed() const { return fault != Fault::None; }
  [[nodiscard]] bool missing() const { return fault == Fault::System && error == ENOENT; }
  // The errno value that stands for it where a message names one: EISDIR for a directory, EINVAL
  // for another kind of file, EFBIG for one too large.
  [[nodiscard]] int asErrno() const;
  friend bool operator==(const Failure&, const Failure&) = default;
};

// strerror's text, without trailing blanks, line breaks and full stops, in the locale's character
// set.
[[nodiscard]] std::string systemText(int error);
// "a pipe", "a directory", ... for an S_IFMT value.
[[nodiscard]] std::string_view kindOf(mode_t type);
// In English, for a log line (a user sees a translated text made from the Failure instead).
[[nodiscard]] std::string describe(const Failure& failure);

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  [[nodiscard]] int get() const { return fd_; }
  [[nodiscard]] bool valid() const { return fd_ >= 0; }
  [[nodiscard]] int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1);
  // Closes now and tells whether it went well: on some file systems close is where a write fails.
  [[nodiscard]] bool close();

 private:
  int fd_;
};

enum class Links { Follow, Refuse };

struct Opened {
  Fd fd;              // valid only when opened
  struct stat st {};  // the open file's
  Failure failure;
};

// Opens `path` (relative to `dir`, a directory descriptor or AT_FDCWD) with `flags` (O_RDONLY,
// O_RDWR | O_CREAT, ...; `mode` for a new file) when it is a regular file. With Links::Refuse,
// what is there is looked at before it is opened (opening a device can do things of its own), and
// a link put there in between is not followed (ELOOP is told as a link). Either way the open never
// waits for a pipe's other end, and what was opened is looked at again.
[[nodiscard]] Opened openRegular(int dir, const std::string& path, int flags, Links links,
                                 mode_t mode = 0600);
[[nodiscard]] inline Opened openRegular(const std::string& path, int flags, Links links,
                                        mode_t mode = 0600) {
  return openRegular(AT_FDCWD, path, flags, links, mode);
}

struct Read {
  std::string bytes;
  Failure failure;
};

// The rest of an open file, at most `limit` bytes: TooLarge when it holds more.
[[nodiscard]] Read readAll(int fd, std::size_t limit);
// The whole file at `path`, when it is a regular file of at most `limit` bytes.
[[nodiscard]] Read readFile(const std::string& path, std::size_t limit, Links links);

// Writes all of `bytes`, going on after interrupted and short writes; WriteFailed when it cannot.
[[nodiscard]] Failure writeAll(int fd, std::string_view bytes);

// Replaces the file `name` in the directory `dir` by `bytes`, whole or not at all: a temporary
// file beside it (never wider than the result), synced, renamed over it, the directory synced.
// An existing file's permission bits (not set-ID and sticky bits) and, where allowed, its owner
// carry over; a new file gets `newMode` less the umask. Anything but a regular file at the name
// (a link too) is refused and left as it is, and so is a file the caller may not write (EACCES),
// which the rename would replace all the same. WriteFailed when the content could not be written,
// System when the temporary file could not be made or renamed.
[[nodiscard]] Failure replaceAt(int dir, const std::string& name, std::string_view bytes,
                                mode_t newMode);
// The same by path.
[[nodiscard]] Failure replace(const std::string& path, std::string_view bytes,
                              mode_t newMode = 0600);

// Makes the missing directories above `path`, 0700; a failure shows in the open that follows.
void makeParents(const std::string& path);

// $XDG_STATE_HOME/radiolist, else ~/.local/state/radiolist (XDG_STATE_HOME and HOME count only
// as absolute paths); "" when neither is known. Found at the first call.
[[nodiscard]] const std::string& stateDirectory();
// $XDG_CONFIG_HOME/radiolist, else ~/.config/radiolist, by the same rule.
[[nodiscard]] const std::string& configDirectory();

}  // namespace radiolist::files
