// File operations on list files. Saves go through a temporary file and a rename, so the list
// on disk is always either the old one or the new one.

#include "channels/list_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <utility>
#include <vector>

#include "files/file.h"
#include "text/utf8.h"

namespace radiolist {

namespace fs = std::filesystem;

namespace {

// The system's text for an error, as the messages want it: without trailing blanks, line
// breaks and full stops. strerror speaks the locale's language and character set, which is
// what the ANSI page stands for.
std::string errorText(int err, const CodePage& ansi) {
  std::string utf8Text;
  utf8::append(ansi.decode(files::systemText(err)), utf8Text);
  return utf8Text;
}

std::string fullPath(const fs::path& path) {
  std::error_code ec;
  const fs::path absolute = fs::absolute(path, ec);
  return utf8::sanitized(ec ? path.native() : absolute.native());
}

[[noreturn]] void throwCannotOpen(const fs::path& path, int err, const CodePage& ansi) {
  const std::string full = fullPath(path);
  throw ListFileError("Cannot open file \"" + full + "\". " + errorText(err, ansi), err, full);
}

[[noreturn]] void throwCannotCreate(const fs::path& path, int err, const CodePage& ansi) {
  const std::string full = fullPath(path);
  throw ListFileError("Cannot create file \"" + full + "\". " + errorText(err, ansi), err, full);
}

[[noreturn]] void throwWriteError() { throw ListFileError("Stream write error"); }

constexpr int kMaxLinks = 40;  // as the kernel allows in one path

// Where a list file's name leads: the directory that holds the entry and its name there, both
// found by resolve(); `st` is the entry's status when it exists. It is never a symbolic link.
struct ListEntry {
  files::Fd dir;
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
    files::Fd node(::openat(entry.dir.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
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

// The resolved entry's bytes. Anything but a regular file is refused without waiting on it
// (files::openRegular): EISDIR for a directory, EINVAL for a pipe, device or socket, which have no
// end a list could be read to.
std::string readWholeFile(const fs::path& path, const CodePage& ansi) {
  ListEntry entry;
  if (const int err = resolve(path, entry)) throwCannotOpen(path, err, ansi);
  const files::Opened file =
      files::openRegular(entry.dir.get(), entry.name, O_RDONLY, files::Links::Refuse);
  if (file.failure.failed()) throwCannotOpen(path, file.failure.asErrno(), ansi);
  files::Read read = files::readAll(file.fd.get(), kMaxListFileBytes);
  if (read.failure.failed()) throwCannotOpen(path, read.failure.asErrno(), ansi);
  return std::move(read.bytes);
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
  // A new list gets 0666 less the umask, as a plain create would; a list replaced keeps its
  // bits and owner.
  const files::Failure failed = files::replaceAt(entry.dir.get(), entry.name, bytes, 0666);
  if (failed.fault == files::Fault::WriteFailed) throwWriteError();
  if (failed.failed()) throwCannotCreate(path, failed.asErrno(), ansi);
}

}  // namespace radiolist
