#include "playback/engine/page_memory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "playback/log/log.h"

namespace radiolist::audio {
namespace {

// Whole lines at their longest, and a little more: a longer file is not ours.
constexpr std::size_t kMaxFileBytes =
    PageMemory::kMaxEntries * (2 * PageMemory::kMaxFieldBytes + 2);

struct Entry {
  std::string page;
  std::string stream;
};

bool fits(std::string_view field) {
  return !field.empty() && field.size() <= PageMemory::kMaxFieldBytes &&
         field.find_first_of("\t\r\n") == std::string_view::npos;
}

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

// The entries in the file, oldest first; nullopt when the file is there but unusable (not a
// regular file, unreadable, too large), so that it is left as it is.
std::optional<std::vector<Entry>> load(const std::string& path) {
  std::vector<Entry> entries;
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
  if (static_cast<std::size_t>(st.st_size) > kMaxFileBytes) {
    log::warning(log::Domain::Engine, path, " is larger than its bound: left alone");
    return std::nullopt;
  }
  std::string text(kMaxFileBytes + 1, '\0');
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
  if (got > kMaxFileBytes) return std::nullopt;  // it grew meanwhile
  text.resize(got);
  std::string_view rest(text);
  while (!rest.empty()) {
    const std::size_t eol = std::min(rest.find('\n'), rest.size());
    const std::string_view line = rest.substr(0, eol);
    rest.remove_prefix(std::min(eol + 1, rest.size()));
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos) continue;
    const std::string_view page = line.substr(0, tab);
    const std::string_view stream = line.substr(tab + 1);
    if (fits(page) && fits(stream)) entries.push_back({std::string(page), std::string(stream)});
  }
  if (entries.size() > PageMemory::kMaxEntries)
    entries.erase(entries.begin(), entries.end() - PageMemory::kMaxEntries);
  return entries;
}

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

void save(const std::string& path, const std::vector<Entry>& entries) {
  std::string text;
  for (const Entry& e : entries) text += e.page + '\t' + e.stream + '\n';
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

}  // namespace

std::string PageMemory::defaultPath() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/radiolist/pages.tsv";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/')
    return std::string(home) + "/.local/state/radiolist/pages.tsv";
  return {};
}

void PageMemory::setPath(std::string path) {
  const std::lock_guard lock(mutex_);
  path_ = std::move(path);
}

std::optional<std::string> PageMemory::streamFor(std::string_view page) {
  const std::lock_guard lock(mutex_);
  if (path_.empty() || !fits(page)) return std::nullopt;
  const auto entries = load(path_);
  if (!entries) return std::nullopt;
  for (auto it = entries->rbegin(); it != entries->rend(); ++it) {
    if (it->page == page) return it->stream;
  }
  return std::nullopt;
}

void PageMemory::remember(std::string_view page, std::string_view stream) {
  const std::lock_guard lock(mutex_);
  if (path_.empty() || !fits(page) || !fits(stream)) return;
  auto entries = load(path_);
  if (!entries) return;
  std::erase_if(*entries, [&](const Entry& e) { return e.page == page; });
  entries->push_back({std::string(page), std::string(stream)});
  if (entries->size() > kMaxEntries) entries->erase(entries->begin(), entries->end() - kMaxEntries);
  save(path_, *entries);
}

}  // namespace radiolist::audio
