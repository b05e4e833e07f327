// File operations on list files in a scratch directory: what reaches the disk, the exact error
// messages, and what survives a failed save. Root ignores permission bits, so the permission
// cases run in a forked child that drops to the unprivileged user "nobody" first; the disk-full
// case runs in a child whose file size limit is small.

#include "channels/list_file.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <functional>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <iterator>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using radiolist::CodePage;
using radiolist::ListLines;

// The file that fchmod() last changed, as it was before: the save's temporary file as created.
static struct stat beforeFchmod;

// Takes the C library's place in this test program; same effect, and it records.
extern "C" int fchmod(int fd, mode_t mode) noexcept {
  static_cast<void>(::fstat(fd, &beforeFchmod));
  return static_cast<int>(::syscall(SYS_fchmod, fd, mode));
}

namespace {

constexpr uid_t kNobody = 65534;
constexpr gid_t kNoGroup = 65534;

const CodePage& utf8Page() {
  static const CodePage page = CodePage::utf8();
  return page;
}

const CodePage& cp1251() {
  static const CodePage page{"CP1251"};
  return page;
}

std::string readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return std::move(bytes).str();
}

void writeBytes(const fs::path& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::set<std::string> entries(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir))
    names.insert(entry.path().filename().string());
  return names;
}

mode_t modeOf(const fs::path& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0);
  return st.st_mode & 07777;
}

// The message of the ListFileError that body throws, or "no error".
std::string errorOf(const std::function<void()>& body) {
  try {
    body();
  } catch (const radiolist::ListFileError& e) {
    return e.what();
  }
  return "no error";
}

struct ChildSetup {
  bool unprivileged = false;  // run as nobody when we are root
  rlim_t maxFileSize = RLIM_INFINITY;
};

// What body returns, computed in a forked child: the parent keeps its rights, limits and mounts.
std::string inChild(const std::function<std::string()>& body) {
  int report[2];
  if (::pipe(report) != 0) return "pipe failed";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(report[0]);
    const std::string message = body();
    const bool sent =
        ::write(report[1], message.data(), message.size()) == static_cast<ssize_t>(message.size());
    ::_exit(sent ? 0 : 1);
  }
  ::close(report[1]);
  std::string message;
  char buffer[512];
  for (ssize_t got; (got = ::read(report[0], buffer, sizeof buffer)) > 0;)
    message.append(buffer, static_cast<std::size_t>(got));
  ::close(report[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  return message;
}

// errorOf(body), run in a child set up as asked.
std::string errorInChild(const std::function<void()>& body, ChildSetup setup) {
  return inChild([&]() -> std::string {
    if (setup.unprivileged && ::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(kNoGroup) != 0 || ::setuid(kNobody) != 0))
      return "could not become nobody";
    if (setup.maxFileSize != RLIM_INFINITY) {
      // Past the limit write() then fails with EFBIG instead of killing the process.
      std::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{setup.maxFileSize, setup.maxFileSize};
      ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    return errorOf(body);
  });
}

// Lets nobody own a path, so that the permission bits we set are the ones that apply to it.
void handToNobody(const fs::path& path) {
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(path.c_str(), kNobody, kNoGroup), 0);
  }
}

class ListFileTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "radiolist-lists-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    fs::permissions(dir_, fs::perms(0755));  // nobody must reach it
    names_ = dir_ / "Name.txt";
  }
  void TearDown() override {
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(dir_, ec)) {
      if (entry.is_directory(ec) && !entry.is_symlink(ec))
        fs::permissions(entry.path(), fs::perms(0755), ec);
    }
    fs::permissions(dir_, fs::perms(0755), ec);
    fs::remove_all(dir_, ec);
  }

  [[nodiscard]] std::string quoted(const fs::path& path) const {
    return "\"" + path.string() + "\"";
  }

  fs::path dir_;
  fs::path names_;
};

}  // namespace

TEST_F(ListFileTest, SaveWritesTheAnsiPageAndLoadReadsItBack) {
  writeBytes(names_, std::string(1000, 'x'));  // longer than the new content
  const ListLines lines{u"Радио", u"", u"中 é"};

  radiolist::saveListFile(names_, lines, cp1251());
  EXPECT_EQ(readBytes(names_), "\xD0\xE0\xE4\xE8\xEE\r\n\r\n? e\r\n");
  EXPECT_EQ(radiolist::loadListFile(names_, cp1251(), cp1251()),
            (ListLines{u"Радио", u"", u"? e"}));
  EXPECT_EQ(radiolist::countListFile(names_, cp1251(), cp1251()), 3u);

  radiolist::saveListFile(names_, lines, utf8Page());
  EXPECT_EQ(readBytes(names_),
            "\xD0\xA0\xD0\xB0\xD0\xB4\xD0\xB8\xD0\xBE\r\n\r\n\xE4\xB8\xAD \xC3\xA9\r\n");
  EXPECT_EQ(radiolist::loadListFile(names_, utf8Page(), cp1251()), lines);
  EXPECT_EQ(entries(dir_), std::set<std::string>{"Name.txt"});  // no temporary file left
}

TEST_F(ListFileTest, EmptyListIsAnEmptyFile) {
  writeBytes(names_, "old\r\n");
  radiolist::saveListFile(names_, ListLines{}, utf8Page());
  EXPECT_EQ(fs::file_size(names_), 0u);
  EXPECT_EQ(radiolist::loadListFile(names_, utf8Page(), cp1251()), ListLines{});
  EXPECT_EQ(radiolist::countListFile(names_, utf8Page(), cp1251()), 0u);
}

TEST_F(ListFileTest, LoadReadsEveryEncodingFromDisk) {
  writeBytes(names_, "\xEF\xBB\xBF\xD0\x9F\xD1\x80\xD0\xB8\r\n\xFF\r\n");
  EXPECT_EQ(radiolist::loadListFile(names_, utf8Page(), cp1251()), (ListLines{u"При", u"\uFFFD"}));
  writeBytes(names_, "\xCF\xF0\xE8\r\n");  // a list from the old platform
  EXPECT_EQ(radiolist::loadListFile(names_, utf8Page(), cp1251()), ListLines{u"При"});
  writeBytes(names_, std::string_view("a\0b\0", 4));  // UTF-16 without a mark
  EXPECT_EQ(radiolist::countListFile(names_, utf8Page(), cp1251()), 1u);
}

TEST_F(ListFileTest, MissingFileNamesItsFullPath) {
  const std::string expected = "Cannot open file " + quoted(names_) + ". No such file or directory";
  EXPECT_EQ(errorOf([&] { (void)radiolist::loadListFile(names_, utf8Page(), cp1251()); }),
            expected);
  EXPECT_EQ(errorOf([&] { (void)radiolist::countListFile(names_, utf8Page(), cp1251()); }),
            expected);

  // A relative path is reported as the full path.
  const fs::path before = fs::current_path();
  fs::current_path(dir_);
  const std::string relative =
      errorOf([&] { (void)radiolist::loadListFile("url.txt", utf8Page(), cp1251()); });
  fs::current_path(before);
  EXPECT_EQ(relative,
            "Cannot open file " + quoted(dir_ / "url.txt") + ". No such file or directory");

  const fs::path inMissingDir = dir_ / "gone" / "Name.txt";
  EXPECT_EQ(errorOf([&] { radiolist::saveListFile(inMissingDir, ListLines{u"a"}, utf8Page()); }),
            "Cannot create file " + quoted(inMissingDir) + ". No such file or directory");
}

TEST_F(ListFileTest, RelativePathsAreInTheCurrentDirectory) {
  const fs::path before = fs::current_path();
  fs::current_path(dir_);
  fs::create_symlink("Name.txt", "link.txt");
  radiolist::saveListFile("Name.txt", ListLines{u"a"}, utf8Page());
  radiolist::saveListFile("link.txt", ListLines{u"b"}, utf8Page());
  const ListLines loaded = radiolist::loadListFile("Name.txt", utf8Page(), cp1251());
  fs::current_path(before);
  EXPECT_EQ(loaded, ListLines{u"b"});
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.txt"));
  EXPECT_EQ(entries(dir_), (std::set<std::string>{"Name.txt", "link.txt"}));
}

TEST_F(ListFileTest, DirectoryNamedLikeTheListIsAnErrorNotACrash) {
  fs::create_directory(names_);
  const std::string cannotOpen = "Cannot open file " + quoted(names_) + ". Is a directory";
  EXPECT_EQ(errorOf([&] { (void)radiolist::loadListFile(names_, utf8Page(), cp1251()); }),
            cannotOpen);
  EXPECT_EQ(errorOf([&] { (void)radiolist::countListFile(names_, utf8Page(), cp1251()); }),
            cannotOpen);
  EXPECT_EQ(errorOf([&] { radiolist::saveListFile(names_, ListLines{u"a"}, utf8Page()); }),
            "Cannot create file " + quoted(names_) + ". Is a directory");
  EXPECT_TRUE(fs::is_directory(names_));
  EXPECT_EQ(entries(dir_), std::set<std::string>{"Name.txt"});
}

TEST_F(ListFileTest, SymbolicLinkStaysALinkAndItsTargetIsWritten) {
  fs::create_directory(dir_ / "real");
  writeBytes(dir_ / "real" / "names.txt", "old\r\n");
  fs::create_symlink("real/names.txt", names_);
  fs::create_symlink("real/absent.txt", dir_ / "url.txt");  // dangling: the target is created

  radiolist::saveListFile(names_, ListLines{u"new"}, utf8Page());
  radiolist::saveListFile(dir_ / "url.txt", ListLines{u"http://x/"}, utf8Page());

  EXPECT_TRUE(fs::is_symlink(names_));
  EXPECT_EQ(fs::read_symlink(names_), "real/names.txt");
  EXPECT_TRUE(fs::is_symlink(dir_ / "url.txt"));
  EXPECT_EQ(readBytes(dir_ / "real" / "names.txt"), "new\r\n");
  EXPECT_EQ(readBytes(dir_ / "real" / "absent.txt"), "http://x/\r\n");
  EXPECT_EQ(entries(dir_ / "real"), (std::set<std::string>{"absent.txt", "names.txt"}));
}

TEST_F(ListFileTest, SymbolicLinkLoopIsAnError) {
  fs::create_symlink("Name.txt", names_);
  EXPECT_EQ(errorOf([&] { (void)radiolist::loadListFile(names_, utf8Page(), cp1251()); }),
            "Cannot open file " + quoted(names_) + ". Too many levels of symbolic links");
  EXPECT_EQ(errorOf([&] { radiolist::saveListFile(names_, ListLines{u"a"}, utf8Page()); }),
            "Cannot create file " + quoted(names_) + ". Too many levels of symbolic links");
  EXPECT_TRUE(fs::is_symlink(names_));
  EXPECT_EQ(entries(dir_), std::set<std::string>{"Name.txt"});
}

TEST_F(ListFileTest, PermissionsAndOwnerOfTheOldFileCarryOver) {
  writeBytes(names_, "old\r\n");
  fs::permissions(names_, fs::perms(0640));
  handToNobody(names_);
  radiolist::saveListFile(names_, ListLines{u"new"}, utf8Page());
  EXPECT_EQ(modeOf(names_), 0640u);
  if (::geteuid() == 0) {
    struct stat st {};
    ASSERT_EQ(::stat(names_.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kNobody);
    EXPECT_EQ(st.st_gid, kNoGroup);
  }

  // A new file gets what a plain create would: 0666 less the umask.
  const mode_t before = ::umask(027);
  radiolist::saveListFile(dir_ / "url.txt", ListLines{u"http://x/"}, utf8Page());
  ::umask(before);
  EXPECT_EQ(modeOf(dir_ / "url.txt"), 0640u);
}

TEST_F(ListFileTest, ReadOnlyFileIsNotReplaced) {
  writeBytes(names_, "old\r\n");
  handToNobody(dir_);
  handToNobody(names_);
  fs::permissions(names_, fs::perms(0444));
  // The directory is writable, so only a check before the rename keeps the file.
  EXPECT_EQ(errorInChild([&] { radiolist::saveListFile(names_, ListLines{u"new"}, utf8Page()); },
                         {.unprivileged = true}),
            "Cannot create file " + quoted(names_) + ". Permission denied");
  EXPECT_EQ(readBytes(names_), "old\r\n");
  EXPECT_EQ(modeOf(names_), 0444u);
  EXPECT_EQ(entries(dir_), std::set<std::string>{"Name.txt"});
}

TEST_F(ListFileTest, UnwritableDirectoryKeepsTheFile) {
  writeBytes(names_, "old\r\n");
  handToNobody(dir_);
  handToNobody(names_);
  fs::permissions(dir_, fs::perms(0555));
  const auto urls = dir_ / "url.txt";
  EXPECT_EQ(errorInChild([&] { radiolist::saveListFile(names_, ListLines{u"new"}, utf8Page()); },
                         {.unprivileged = true}),
            "Cannot create file " + quoted(names_) + ". Permission denied");
  EXPECT_EQ(
      errorInChild([&] { radiolist::saveListFile(urls, ListLines{u"http://x/"}, utf8Page()); },
                   {.unprivileged = true}),
      "Cannot create file " + quoted(urls) + ". Permission denied");
  EXPECT_EQ(readBytes(names_), "old\r\n");
  EXPECT_EQ(entries(dir_), std::set<std::string>{"Name.txt"});
}

TEST_F(ListFileTest, UnreadableFileGivesTheOpenError) {
  writeBytes(names_, "old\r\n");
  handToNobody(names_);
  fs::permissions(names_, fs::perms(0));
  const std::string expected = "Cannot open file " + quoted(names_) + ". Permission denied";
  EXPECT_EQ(errorInChild([&] { (void)radiolist::loadListFile(names_, utf8Page(), cp1251()); },
                         {.unprivileged = true}),
            expected);
  EXPECT_EQ(errorInChild([&] { (void)radiolist::countListFile(names_, utf8Page(), cp1251()); },
                         {.unprivileged = true}),
            expected);
}

TEST_F(ListFileTest, DiskFullLeavesTheOldContentAndNoTemporaryFile) {
  writeBytes(names_, "old\r\n");
  const ListLines big(5000, u"http://radio.example/stream");
  constexpr rlim_t kLimit = 4096;
  EXPECT_EQ(errorInChild([&] { radiolist::saveListFile(names_, big, utf8Page()); },
                         {.maxFileSize = kLimit}),
            "Stream write error");
  EXPECT_EQ(readBytes(names_), "old\r\n");
  EXPECT_EQ(entries(dir_), std::set<std::string>{"Name.txt"});

  // Under the same limit a list that fits is saved: the size, nothing else, made it fail.
  EXPECT_EQ(errorInChild([&] { radiolist::saveListFile(names_, ListLines{u"new"}, utf8Page()); },
                         {.maxFileSize = kLimit}),
            "no error");
  EXPECT_EQ(readBytes(names_), "new\r\n");
}

TEST_F(ListFileTest, FullFileSystemLeavesTheOldContentAndNoTemporaryFile) {
  const fs::path small = dir_ / "small";
  fs::create_directory(small);
  const fs::path file = small / "Name.txt";
  const std::string report = inChild([&]() -> std::string {
    // A private mount namespace: the 64 KiB tmpfs goes away with the child.
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0)
      return "no tmpfs";
    writeBytes(file, "old\r\n");
    const std::string error = errorOf([&] {
      radiolist::saveListFile(file, ListLines(10000, u"http://radio.example/stream"), utf8Page());
    });
    std::string names;
    for (const auto& name : entries(small)) names += name + ";";
    return error + "|" + readBytes(file) + "|" + names;
  });
  if (report == "no tmpfs")
    GTEST_SKIP() << "mounting a small tmpfs needs root (CAP_SYS_ADMIN); the file size limit "
                    "case above fails the write the same way";
  EXPECT_EQ(report, "Stream write error|old\r\n|Name.txt;");
}

TEST_F(ListFileTest, MillionLinesLoadCountAndSaveExactly) {
  constexpr std::size_t kLines = 1'000'000;
  std::string bytes;
  ListLines expected;
  expected.reserve(kLines);
  for (std::size_t i = 0; i < kLines; ++i) {
    const std::string line = "Station " + std::to_string(i) + (i % 3 == 0 ? "" : " FM");
    bytes += line + "\r\n";
    expected.emplace_back(line.begin(), line.end());
  }
  writeBytes(names_, bytes);

  const ListLines loaded = radiolist::loadListFile(names_, utf8Page(), cp1251());
  EXPECT_EQ(loaded, expected);
  EXPECT_EQ(radiolist::countListFile(names_, utf8Page(), cp1251()), kLines);

  // Saved over itself and into a new file, byte for byte what was read.
  radiolist::saveListFile(names_, loaded, utf8Page());
  radiolist::saveListFile(dir_ / "url.txt", loaded, utf8Page());
  EXPECT_TRUE(readBytes(names_) == bytes);
  EXPECT_TRUE(readBytes(dir_ / "url.txt") == bytes);
  EXPECT_EQ(entries(dir_), (std::set<std::string>{"Name.txt", "url.txt"}));
}

TEST_F(ListFileTest, LinesOfOneMebibyteLoadAndSaveExactly) {
  constexpr std::size_t kMiB = 1 << 20;
  // An ASCII line, a Cyrillic one (two bytes a letter in UTF-8) and an empty one between them.
  std::u16string cyrillic;
  for (std::size_t i = 0; i < kMiB / 2; ++i) cyrillic += i % 2 ? u'я' : u'Ж';
  std::u16string ascii;
  for (std::size_t i = 0; i < kMiB; ++i) ascii += static_cast<char16_t>(u'a' + i % 26);
  const ListLines lines{ascii, u"", cyrillic, u"tail"};

  radiolist::saveListFile(names_, lines, utf8Page());
  const std::string utf8Bytes = readBytes(names_);
  EXPECT_EQ(utf8Bytes.size(), kMiB + 2 + 2 + kMiB + 2 + 6);
  EXPECT_EQ(radiolist::loadListFile(names_, utf8Page(), cp1251()), lines);
  radiolist::saveListFile(names_, radiolist::loadListFile(names_, utf8Page(), cp1251()),
                          utf8Page());
  EXPECT_TRUE(readBytes(names_) == utf8Bytes);

  // The same in the single-byte page: one byte a letter.
  radiolist::saveListFile(names_, lines, cp1251());
  EXPECT_EQ(fs::file_size(names_), kMiB + 2 + 2 + kMiB / 2 + 2 + 6);
  EXPECT_EQ(radiolist::loadListFile(names_, cp1251(), cp1251()), lines);
  EXPECT_EQ(radiolist::countListFile(names_, cp1251(), cp1251()), 4u);
}

TEST_F(ListFileTest, OnlyRegularFilesUpToTheLimitAreReadAndNothingElseIsWritten) {
  constexpr auto kLimit = static_cast<off_t>(radiolist::kMaxListFileBytes);
  const struct {
    std::function<bool(const char*)> make;
    const char* error;  // of load and count, and of save unless too large; nullptr: none
  } cases[] = {
      {[](const char* f) { return ::mkfifo(f, 0644) == 0; }, "Invalid argument"},  // used to block
      {[](const char* f) { return ::symlink("/dev/zero", f) == 0; },
       "Invalid argument"},  // never ends
      {[](const char* f) { return ::symlink("/", f) == 0; }, "Is a directory"},
      // Sparse files: no disk space. All zero bytes, so the one at the limit is an empty list.
      {[](const char* f) {
         return ::close(::creat(f, 0644)) == 0 && ::truncate(f, kLimit + 1) == 0;
       },
       "File too large"},
      {[](const char* f) { return ::close(::creat(f, 0644)) == 0 && ::truncate(f, kLimit) == 0; },
       nullptr},
  };
  const fs::path file = dir_ / "url.txt";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error ? c.error : "at the limit");
    fs::remove(file);
    ASSERT_TRUE(c.make(file.c_str()));
    const fs::file_type type = fs::symlink_status(file).type();
    const std::string refused =
        c.error ? "Cannot open file " + quoted(file) + ". " + c.error : "no error";
    EXPECT_EQ(errorOf([&] { (void)radiolist::loadListFile(file, utf8Page(), cp1251()); }), refused);
    EXPECT_EQ(errorOf([&] { (void)radiolist::countListFile(file, utf8Page(), cp1251()); }),
              refused);
    if (c.error && type != fs::file_type::regular) {
      EXPECT_EQ(errorOf([&] { radiolist::saveListFile(file, ListLines{u"a"}, utf8Page()); }),
                "Cannot create file " + quoted(file) + ". " + c.error);
      EXPECT_EQ(fs::symlink_status(file).type(), type);
      EXPECT_EQ(entries(dir_), std::set<std::string>{"url.txt"});
    }
  }
}

// What is saved is read back: lines that come to more than the limit are not written at all, so
// the old list stays, and a list of exactly the limit is written and read back.
TEST_F(ListFileTest, NothingIsSavedThatCouldNotBeReadBack) {
  writeBytes(names_, "old\r\n");
  const std::size_t line = (std::size_t{1} << 20) - 2;  // a MiB with its CR LF
  ListLines lines(32, std::u16string(line, u'x'));
  radiolist::saveListFile(names_, lines, utf8Page());
  EXPECT_EQ(fs::file_size(names_), radiolist::kMaxListFileBytes);
  EXPECT_EQ(radiolist::countListFile(names_, utf8Page(), cp1251()), 32u);
  for (const CodePage* page : {&utf8Page(), &cp1251()}) {
    lines.back() += u'y';  // one byte past the limit
    EXPECT_EQ(errorOf([&] { radiolist::saveListFile(names_, lines, *page); }),
              "Cannot create file " + quoted(names_) + ". File too large");
    EXPECT_EQ(fs::file_size(names_), radiolist::kMaxListFileBytes);
    lines.back().pop_back();
  }
  EXPECT_EQ(entries(dir_), std::set<std::string>{"Name.txt"});
}

// The fs.protected_symlinks rule, applied whatever the sysctl says: in a sticky world-writable
// directory a link is followed only when the follower or the directory's owner owns it.
TEST_F(ListFileTest, LinksInSharedDirectoriesAreFollowedOnlyAsTheKernelRuleAllows) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving a link to another user (lchown) needs root";
  const struct {
    mode_t dirMode;
    uid_t dirOwner, linkOwner;  // we are 0
    bool linkToDirectory;       // the link is a directory on the way, not the file
    bool followed;
  } cases[] = {
      {01777, 0, kNobody, false, false},  // another user's link in /tmp
      {01777, 0, kNobody, true, false},       {01777, kNobody, 0, false, true},  // our own link
      {01777, kNobody, kNobody, false, true},  // the directory owner's link
      {0777, 0, kNobody, false, true},        {01775, 0, kNobody, false, true},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(n);
    const fs::path shared = dir_ / ("shared" + std::to_string(n));
    const fs::path home = dir_ / ("home" + std::to_string(n++));
    fs::create_directory(home);
    fs::create_directory(shared);
    writeBytes(home / "Name.txt", "victim\r\n");
    ASSERT_EQ(::chown(shared.c_str(), c.dirOwner, kNoGroup), 0);
    ASSERT_EQ(::chmod(shared.c_str(), c.dirMode), 0);
    const fs::path link = shared / (c.linkToDirectory ? "dir" : "Name.txt");
    fs::create_symlink(c.linkToDirectory ? home : home / "Name.txt", link);
    ASSERT_EQ(::lchown(link.c_str(), c.linkOwner, kNoGroup), 0);
    const fs::path file = c.linkToDirectory ? link / "Name.txt" : link;

    const std::string refused = c.followed ? "" : " file " + quoted(file) + ". Permission denied";
    EXPECT_EQ(errorOf([&] { (void)radiolist::loadListFile(file, utf8Page(), cp1251()); }),
              c.followed ? "no error" : "Cannot open" + refused);
    EXPECT_EQ(errorOf([&] { radiolist::saveListFile(file, ListLines{u"new"}, utf8Page()); }),
              c.followed ? "no error" : "Cannot create" + refused);
    EXPECT_EQ(readBytes(home / "Name.txt"), c.followed ? "new\r\n" : "victim\r\n");
    EXPECT_EQ(entries(home), std::set<std::string>{"Name.txt"});
    EXPECT_EQ(entries(shared).size(), 1u);
  }
}

TEST_F(ListFileTest, ReplacedFileKeepsItsPermissionBitsButNoSetIdBits) {
  const struct {
    mode_t old, saved;
  } cases[] = {{0644, 0644}, {0600, 0600}, {04755, 0755}, {02750, 0750}, {01666, 0666}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.old);
    writeBytes(names_, "old\r\n");
    ASSERT_EQ(::chmod(names_.c_str(), c.old), 0);
    beforeFchmod = {};
    radiolist::saveListFile(names_, ListLines{u"new"}, utf8Page());
    EXPECT_EQ(modeOf(names_), c.saved);
    // The temporary file was created private and widened only to the old bits, unwritten.
    EXPECT_EQ(beforeFchmod.st_mode & 07777, 0600u);
    EXPECT_EQ(beforeFchmod.st_size, 0);
  }
}
