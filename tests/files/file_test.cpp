// The file module as hostile hands and full disks meet it: what is not a regular file is refused
// without waiting on it, a bound is a bound, a write that falls short says so, and a replacement
// is whole or nothing, keeping the old file's permissions and leaving no temporary file behind.

#include "files/file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using radiolist::files::Failure;
using radiolist::files::Fault;
using radiolist::files::Links;

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("rl-files-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  [[nodiscard]] std::string at(const char* name) const { return (dir_ / name).string(); }
  void write(const char* name, const std::string& bytes) const {
    std::ofstream(at(name), std::ios::binary) << bytes;
  }
  [[nodiscard]] std::string read(const char* name) const {
    std::ifstream in(at(name), std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }
  // The names in the folder, to see that no temporary file stayed.
  [[nodiscard]] std::string names() const {
    std::string all;
    for (const auto& entry : fs::directory_iterator(dir_))
      all += entry.path().filename().string() + ' ';
    return all;
  }

  fs::path dir_;
};

// Every kind of thing at a path, read with and without links refused: only a regular file within
// the bound is read; the rest is refused as what it is, a pipe without waiting for a writer.
TEST_F(FilesTest, OnlyARegularFileWithinItsBoundIsRead) {
  write("small", "twelve bytes");
  write("large", std::string(101, 'x'));
  ASSERT_EQ(::mkfifo(at("pipe").c_str(), 0600), 0);
  fs::create_directory(at("folder"));
  fs::create_symlink(at("small"), at("link"));
  fs::create_symlink(at("pipe"), at("link-to-pipe"));

  struct Case {
    const char* name;
    Links links;
    Failure failure;
    int asErrno;
  };
  const Case cases[] = {
      {"small", Links::Refuse, {}, 0},
      {"missing", Links::Refuse, Failure::system(ENOENT), ENOENT},
      {"large", Links::Follow, Failure::tooLarge(), EFBIG},
      {"pipe", Links::Follow, Failure::notRegular(S_IFIFO), EINVAL},
      {"pipe", Links::Refuse, Failure::notRegular(S_IFIFO), EINVAL},
      {"folder", Links::Follow, Failure::notRegular(S_IFDIR), EISDIR},
      {"link", Links::Follow, {}, 0},
      {"link", Links::Refuse, Failure::notRegular(S_IFLNK), EINVAL},
      {"link-to-pipe", Links::Follow, Failure::notRegular(S_IFIFO), EINVAL},
      {"/dev/null", Links::Follow, Failure::notRegular(S_IFCHR), EINVAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = c.name[0] == '/' ? std::string(c.name) : at(c.name);
    const radiolist::files::Read got = radiolist::files::readFile(path, 100, c.links);
    EXPECT_EQ(got.failure, c.failure) << radiolist::files::describe(got.failure);
    EXPECT_EQ(got.failure.asErrno(), c.asErrno);
    EXPECT_EQ(got.bytes, c.failure.failed() ? "" : "twelve bytes");
  }
  // Exactly at the bound is within it.
  EXPECT_FALSE(radiolist::files::readFile(at("large"), 101, Links::Refuse).failure.failed());
  EXPECT_EQ(radiolist::files::describe(Failure::notRegular(S_IFIFO)),
            "it is a pipe, not a regular file");
}

// A replacement keeps the old file's permission bits (a new file gets what it is given, less
// the umask), refuses a link, pipe or folder at the name and leaves it as it is, and leaves
// nothing beside the file.
TEST_F(FilesTest, AReplacementKeepsPermissionsAndRefusesWhatIsNotARegularFile) {
  write("kept", "old");
  fs::permissions(at("kept"), fs::perms(0640));
  ASSERT_FALSE(radiolist::files::replace(at("kept"), "new").failed());
  EXPECT_EQ(read("kept"), "new");
  EXPECT_EQ(fs::status(at("kept")).permissions(), fs::perms(0640));

  const mode_t mask = ::umask(022);
  EXPECT_EQ(radiolist::files::replace(at("sub/dir/fresh"), "made"), Failure::system(ENOENT))
      << "a missing folder is not made by a replacement";
  radiolist::files::makeParents(at("sub/dir/fresh"));
  EXPECT_FALSE(radiolist::files::replace(at("sub/dir/fresh"), "made", 0666).failed());
  ::umask(mask);
  EXPECT_EQ(read("sub/dir/fresh"), "made");
  EXPECT_EQ(fs::status(at("sub/dir/fresh")).permissions(), fs::perms(0644));
  EXPECT_EQ(fs::status(at("sub")).permissions(), fs::perms(0700)) << "made private";

  write("target", "theirs");
  fs::create_symlink(at("target"), at("link"));
  ASSERT_EQ(::mkfifo(at("pipe").c_str(), 0600), 0);
  fs::create_directory(at("folder"));
  for (const char* name : {"link", "pipe", "folder"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(radiolist::files::replace(at(name), "mine").fault, Fault::NotRegular);
  }
  EXPECT_TRUE(fs::is_symlink(at("link")));
  EXPECT_TRUE(fs::is_fifo(at("pipe")));
  EXPECT_EQ(read("target"), "theirs");

  if (::geteuid() != 0) {  // root may write anything
    fs::permissions(at("kept"), fs::perms(0444));
    EXPECT_EQ(radiolist::files::replace(at("kept"), "over"), Failure::system(EACCES));
    EXPECT_EQ(read("kept"), "new");
  }
  EXPECT_EQ(names().find(".tmp"), std::string::npos) << "no temporary file: " << names();
}

// A write that the system cuts short (here a file size limit) is told as a failed write with the
// system's reason; a replacement that fails so leaves the old file whole and no temporary file.
TEST_F(FilesTest, AWriteCutShortFailsAndAFailedReplacementLeavesTheOldFileWhole) {
  write("list", "the old list\n");
  const std::string big(64 * 1024, 'x');
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);  // else the limit ends the process
  rlimit small = old;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);

  const radiolist::files::Opened file =
      radiolist::files::openRegular(at("out"), O_WRONLY | O_CREAT, Links::Refuse);
  const Failure written = radiolist::files::writeAll(file.fd.get(), big);
  const Failure replaced = radiolist::files::replace(at("list"), big);

  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(written, (Failure{Fault::WriteFailed, EFBIG, 0}));
  EXPECT_EQ(fs::file_size(at("out")), 4096u) << "the first, short write went through";
  EXPECT_EQ(replaced.fault, Fault::WriteFailed);
  EXPECT_EQ(read("list"), "the old list\n");
  EXPECT_EQ(names().find(".tmp"), std::string::npos) << names();
}

// The program's directories, from the environment a process starts with: a relative
// XDG_STATE_HOME or XDG_CONFIG_HOME counts for nothing, and without HOME there is none.
TEST(FilesDirectories, TheStateAndConfigDirectoriesFollowTheEnvironment) {
  struct Case {
    const char* xdg;   // nullptr: unset
    const char* home;  // nullptr: unset
    const char* state;
    const char* config;
  };
  const Case cases[] = {
      {"/x", "/h", "/x/radiolist", "/x/radiolist"},
      {"relative", "/h", "/h/.local/state/radiolist", "/h/.config/radiolist"},
      {nullptr, "/h", "/h/.local/state/radiolist", "/h/.config/radiolist"},
      {nullptr, "relative", "", ""},
      {nullptr, nullptr, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.xdg ? c.xdg : "-") + " " + (c.home ? c.home : "-"));
    // In a child of its own: each process finds them once.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const auto set = [](const char* name, const char* value) {
        value != nullptr ? ::setenv(name, value, 1) : ::unsetenv(name);
      };
      set("XDG_STATE_HOME", c.xdg);
      set("XDG_CONFIG_HOME", c.xdg);
      set("HOME", c.home);
      const bool right = radiolist::files::stateDirectory() == c.state &&
                         radiolist::files::configDirectory() == c.config;
      std::_Exit(right ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
}

}  // namespace
