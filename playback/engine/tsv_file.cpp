#include "playback/engine/tsv_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "playback/log/log.h"

namespace radiolist::audio {
namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  [[nodiscard]] int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

}  // namespace

bool tsvFieldFits(std::string_view field, const TsvBounds& bounds) {
  return !field.empty() && field.size() <= bounds.maxFieldBytes &&
         field.find_first_of("\t\r\n") == std::string_view::npos;
}

std::optional<std::vector<TsvEntry>> loadTsv(const std::string& path, const TsvBounds& bounds) {
  // Whole lines at their longest, and a little more: a longer file is not ours.
  const std::size_t maxFileBytes = bounds.maxEntries * (2 * bounds.maxFieldBytes + 2);
  std::vector<TsvEntry> entries;
  // Non-blocking, so that a FIFO put in the file's place is refused rather than waited on.
  const Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0) {
    if (errno == ENOENT) return entries;
    log::warning(log::Domain::Engine, "cannot open ", path, ": ", std::strerror(errno));
    return std::nullopt;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    log::warning(log::Domain::Engine, path, " is not a regular file: left alone");
    return std::nullopt;
  }
  if (static_cast<std::size_t>(st.st_size) > maxFileBytes) {
    log::warning(log::Domain::Engine, path, " is larger than its bound: left alone");
    return std::nullopt;
  }
  std::string text(maxFileBytes + 1, '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::read(fd.get(), text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      log::warning(log::Domain::Engine, "cannot read ", path, ": ", std::strerror(errno));
      return std::nullopt;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got > maxFileBytes) return std::nullopt;  // it grew meanwhile
  text.resize(got);
  std::string_view rest(text);
  while (!rest.empty()) {
    const std::size_t eol = std::min(rest.find('\n'), rest.size());
    const std::string_view line = rest.substr(0, eol);
    rest.remove_prefix(std::min(eol + 1, rest.size()));
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, tab);
    const std::string_view value = line.substr(tab + 1);
    if (tsvFieldFits(key, bounds) && tsvFieldFits(value, bounds))
      entries.push_back({std::string(key), std::string(value)});
  }
  if (entries.size() > bounds.maxEntries)
    entries.erase(entries.begin(), entries.end() - static_cast<std::ptrdiff_t>(bounds.maxEntries));
  return entries;
}

namespace {

// The directories of `path` that are missing, made private to the user.
void makeParents(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string dir = path.substr(0, slash);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return;  // the open below tells why
  }
}

bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

void saveTsv(const std::string& path, const std::vector<TsvEntry>& entries) {
  std::string text;
  for (const TsvEntry& e : entries) text += e.key + '\t' + e.value + '\n';
  makeParents(path);
  static std::atomic<unsigned> serial{0};
  const std::string temp = path + ".tmp-" + std::to_string(::getpid()) + "-" +
                           std::to_string(serial.fetch_add(1, std::memory_order_relaxed));
  Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (fd.get() < 0) {
    log::warning(log::Domain::Engine, "cannot create ", temp, ": ", std::strerror(errno));
    return;
  }
  const bool written = writeAll(fd.get(), text) && ::fsync(fd.get()) == 0;
  const int writeErrno = errno;
  const bool closed = ::close(fd.release()) == 0;
  if (!written || !closed || ::rename(temp.c_str(), path.c_str()) != 0) {
    log::warning(log::Domain::Engine, "cannot write ", path, ": ",
                 std::strerror(written && closed ? errno : writeErrno));
    ::unlink(temp.c_str());
  }
}

std::string stateFilePath(std::string_view name) {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/')
    return std::string(state) + "/radiolist/" + std::string(name);
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/')
    return std::string(home) + "/.local/state/radiolist/" + std::string(name);
  return {};
}

}  // namespace radiolist::audio
