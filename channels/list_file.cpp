// File operations on list files. Saves go through a temporary file and a rename, so the list
// on disk is always either the old one or the new one.

#include "channels/list_file.h"

#include "channels/utf8.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace radiolist {

namespace fs = std::filesystem;

namespace {

// The system's text for an error, as the messages want it: without trailing blanks, line
// breaks and full stops. strerror speaks the locale's language and character set, which is
// what the ANSI page stands for.
std::string errorText(int err, const CodePage& ansi)
{
    std::string text = std::strerror(err);
    while (!text.empty() && std::strchr(" \t\r\n.", text.back()) != nullptr)
        text.pop_back();
    std::string utf8Text;
    utf8::append(ansi.decode(text), utf8Text);
    return utf8Text;
}

std::string fullPath(const fs::path& path)
{
    std::error_code ec;
    const fs::path absolute = fs::absolute(path, ec);
    return utf8::sanitized(ec ? path.native() : absolute.native());
}

[[noreturn]] void throwCannotOpen(const fs::path& path, int err, const CodePage& ansi)
{
    throw ListFileError("Cannot open file \"" + fullPath(path) + "\". " + errorText(err, ansi));
}

[[noreturn]] void throwCannotCreate(const fs::path& path, int err, const CodePage& ansi)
{
    throw ListFileError("Cannot create file \"" + fullPath(path) + "\". " + errorText(err, ansi));
}

[[noreturn]] void throwWriteError() { throw ListFileError("Stream write error"); }

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] bool valid() const { return fd_ >= 0; }
    void reset(int fd)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }
    // Closes now and reports the result: on some file systems close is where a write fails.
    bool close()
    {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

std::string readWholeFile(const fs::path& path, const CodePage& ansi)
{
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!file.valid())
        throwCannotOpen(path, errno, ansi);
    struct stat st {};
    if (::fstat(file.get(), &st) != 0)
        throwCannotOpen(path, errno, ansi);
    if (S_ISDIR(st.st_mode))
        throwCannotOpen(path, EISDIR, ansi);
    std::string bytes(S_ISREG(st.st_mode) ? static_cast<std::size_t>(st.st_size) + 1 : 65536, '\0');
    std::size_t size = 0;
    for (;;) {
        if (size == bytes.size())
            bytes.resize(bytes.size() * 2); // the file grew while we read it
        const ssize_t got = ::read(file.get(), bytes.data() + size, bytes.size() - size);
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throwCannotOpen(path, errno, ansi);
        }
        size += static_cast<std::size_t>(got);
    }
    bytes.resize(size);
    return bytes;
}

bool writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t put = ::write(fd, bytes.data(), bytes.size());
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(put));
    }
    return true;
}

// The file a save must write: the path itself, or the end of its chain of symbolic links.
fs::path followLinks(const fs::path& path, const CodePage& ansi)
{
    constexpr int kMaxLinks = 40; // as the kernel allows
    fs::path current = path;
    for (int hops = 0;; ++hops) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return current;
        if (hops == kMaxLinks)
            throwCannotCreate(path, ELOOP, ansi);
        std::error_code ec;
        const fs::path target = fs::read_symlink(current, ec);
        if (ec)
            throwCannotCreate(path, ec.value(), ansi);
        current = target.is_absolute() ? target : current.parent_path() / target;
    }
}

// A new file beside the target, removed again unless it was renamed into place.
class TemporaryFile {
public:
    TemporaryFile(const fs::path& target, const fs::path& shown, const CodePage& ansi)
        : file_(-1)
    {
        thread_local std::minstd_rand random{std::random_device{}()};
        const fs::path dir = target.parent_path().empty() ? fs::path(".") : target.parent_path();
        for (int attempt = 0; attempt < 100; ++attempt) {
            path_ = dir / ("." + target.filename().native() + "." + std::to_string(random()) + ".tmp");
            // 0666 and the umask: the mode a plainly created file would get.
            file_.reset(::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
            if (file_.valid())
                return;
            if (errno != EEXIST)
                throwCannotCreate(shown, errno, ansi);
        }
        throwCannotCreate(shown, EEXIST, ansi);
    }
    ~TemporaryFile()
    {
        if (!committed_)
            ::unlink(path_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    [[nodiscard]] int fd() const { return file_.get(); }
    [[nodiscard]] bool close() { return file_.close(); }
    [[nodiscard]] const fs::path& path() const { return path_; }
    void commit() { committed_ = true; }

private:
    fs::path path_;
    FileDescriptor file_;
    bool committed_ = false;
};

// Best effort: the new file takes the old one's owner and permission bits.
void takeOverAttributes(int fd, const struct stat& old)
{
    struct stat now {};
    if (::fstat(fd, &now) == 0 && (now.st_uid != old.st_uid || now.st_gid != old.st_gid)) {
        if (::fchown(fd, old.st_uid, old.st_gid) != 0)
            static_cast<void>(::fchown(fd, static_cast<uid_t>(-1), old.st_gid));
    }
    static_cast<void>(::fchmod(fd, old.st_mode & 07777));
}

void syncDirectory(const fs::path& dir)
{
    FileDescriptor d(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d.valid())
        static_cast<void>(::fsync(d.get()));
}

// A device or pipe under the list's name is written as such; renaming over it would replace it.
void writeInPlace(const fs::path& target, const fs::path& shown, std::string_view bytes,
                  const CodePage& ansi)
{
    FileDescriptor file(::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY));
    if (!file.valid())
        throwCannotCreate(shown, errno, ansi);
    if (!writeAll(file.get(), bytes) || !file.close())
        throwWriteError();
}

} // namespace

ListLines loadListFile(const fs::path& path, const CodePage& ansi, const CodePage& legacyFallback)
{
    return decodeListBytes(readWholeFile(path, ansi), ansi, legacyFallback);
}

std::size_t countListFile(const fs::path& path, const CodePage& ansi,
                          const CodePage& legacyFallback)
{
    return countListBytes(readWholeFile(path, ansi), ansi, legacyFallback);
}

void saveListFile(const fs::path& path, std::span<const std::u16string> lines, const CodePage& ansi)
{
    const std::string bytes = encodeListBytes(lines, ansi);
    const fs::path target = followLinks(path, ansi);

    struct stat old {};
    const bool exists = ::stat(target.c_str(), &old) == 0;
    if (!exists && errno != ENOENT)
        throwCannotCreate(path, errno, ansi);
    if (exists) {
        if (S_ISDIR(old.st_mode))
            throwCannotCreate(path, EISDIR, ansi);
        if (!S_ISREG(old.st_mode))
            return writeInPlace(target, path, bytes, ansi);
        // The rename below would replace even a read-only file; saving into one must fail as
        // it always did. Opening without O_TRUNC asks the question and changes nothing.
        FileDescriptor probe(::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
        if (!probe.valid())
            throwCannotCreate(path, errno, ansi);
    }

    TemporaryFile temp(target, path, ansi);
    if (exists)
        takeOverAttributes(temp.fd(), old);
    if (!writeAll(temp.fd(), bytes) || ::fsync(temp.fd()) != 0 || !temp.close())
        throwWriteError();
    if (::rename(temp.path().c_str(), target.c_str()) != 0)
        throwCannotCreate(path, errno, ansi);
    temp.commit();
    syncDirectory(target.parent_path());
}

} // namespace radiolist
