// One list, one program, as the desktop and other processes of the user meet it: the real program
// on a private session bus. A second start finds the first whatever its environment says of the
// runtime directory, and a process that took the list's bus name before the program is handed
// nothing.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "support/child_process.h"
#include "tests/e2e/bus_program.h"
#include "tests/e2e/listening.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using radiolist::test::ChildProcess;

namespace {

using radiolist::test::e2e::drain;
using radiolist::test::e2e::only440;

std::string read(const fs::path& file) {
  std::ifstream stream(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(stream), {});
}

// Reads the non-blocking `fd` into `out` until it holds `text`, for at most `timeout`.
bool waitForText(int fd, const std::string& text, std::chrono::milliseconds timeout,
                 std::string& out) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    drain(fd, out);
    if (out.find(text) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(100ms);
  }
}

class OneProgramTest : public radiolist::test::e2e::BusProgramTest {
 protected:
  OneProgramTest() : BusProgramTest("one-program") {}
  [[nodiscard]] Channels channels() const override {
    return {"Tone\r\n", servers().mp3Url() + "\r\n"};
  }
  // The list's bus name, as a process that wants it in the program's place works it out: the
  // first 16 bytes of the SHA-256 of the list directory's canonical path, in hex.
  [[nodiscard]] std::string busName() const {
    const auto sum = radiolist::test::runCommand(
        {{"sh", "-c", "printf %s \"$1\" | sha256sum", "sh", fs::canonical(dir_).string()},
         {},
         true},
        10s);
    EXPECT_EQ(sum.exitCode, 0) << sum.output;
    return "org.radiolist.list.h" + sum.output.substr(0, 32);
  }
};

// The first program's environment names one runtime directory; second starts name none, a file,
// another directory, the same one. Each finds the first, which adds its station, and ends.
TEST_F(OneProgramTest, ASecondStartFindsTheFirstWhateverItsRuntimeDirectoryVariableSays) {
  const fs::path runtime = dir_ / "runtime";
  fs::create_directories(runtime);
  fs::permissions(runtime, fs::perms::owner_all);
  program_ = startIn(dir_, {}, {{"XDG_RUNTIME_DIR", runtime.string()}});
  ASSERT_TRUE(listenFor(only440, 5s)) << "the first program plays";
  const struct {
    const char* what;
    std::string runtimeDir;
  } starts[] = {
      {"unset", ""},
      {"a file", (dir_ / "Name.txt").string()},
      {"another directory", (dir_ / "config").string()},
      {"the same", runtime.string()},
  };
  std::string urls = read(dir_ / "url.txt");
  int n = 0;
  for (const auto& start : starts) {
    SCOPED_TRACE(start.what);
    const std::string station = "http://127.0.0.1:9/second-start-" + std::to_string(++n);
    const auto second = startIn(dir_, {station}, {{"XDG_RUNTIME_DIR", start.runtimeDir}});
    const auto status = second->waitFor(15s);
    ASSERT_TRUE(status.has_value()) << "the second start runs beside the first";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
    urls += station + "\r\n";
    EXPECT_EQ(read(dir_ / "url.txt"), urls) << "the first program added the station";
  }
  EXPECT_FALSE(program_->waitFor(0ms).has_value()) << "the first program runs on";
}

// Another process of the user owns the list's bus name before the program starts and answers
// anything it is sent. The program says its claim of the name failed; a second start on the list
// sees that the name's owner is not the lock's holder, hands it nothing, says so and fails.
TEST_F(OneProgramTest, AProcessThatTookTheListsBusNameFirstIsHandedNothing) {
  const std::string name = busName();
  ChildProcess squatter(
      {{BUS_NAME_SQUATTER, name}, {{"DBUS_SESSION_BUS_ADDRESS", address_}}, true});
  std::string calls;
  ASSERT_TRUE(waitForText(squatter.stdoutFd(), "owned\n", 10s, calls)) << "it has the name";

  program_ = startIn(dir_, {}, {}, true);
  std::string said;
  EXPECT_TRUE(waitForText(program_->stdoutFd(), "cannot own the bus name " + name, 20s, said))
      << said;
  ASSERT_TRUE(listenFor(only440, 5s)) << "the program plays all the same";
  const std::string names = read(dir_ / "Name.txt");
  const std::string urls = read(dir_ / "url.txt");

  const auto second = startIn(dir_, {"http://127.0.0.1:9/not-for-a-stranger"}, {}, true);
  std::string secondSaid;
  EXPECT_TRUE(waitForText(second->stdoutFd(),
                          "is owned by process " + std::to_string(squatter.pid()), 20s, secondSaid))
      << secondSaid;
  // Its error box waits for the user; a signal ends it as Quit would.
  if (!second->waitFor(0ms)) ::kill(second->pid(), SIGTERM);
  const auto status = second->waitFor(10s);
  ASSERT_TRUE(status.has_value()) << "the second start did not end";
  EXPECT_FALSE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;

  drain(squatter.stdoutFd(), calls);
  EXPECT_EQ(calls, "owned\n") << "the stranger was called";
  EXPECT_EQ(read(dir_ / "Name.txt"), names);
  EXPECT_EQ(read(dir_ / "url.txt"), urls);
  EXPECT_FALSE(program_->waitFor(0ms).has_value()) << "the program runs on";
}

}  // namespace
