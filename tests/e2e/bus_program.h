#pragma once
// The real program on a private session bus, for the tests that drive it as the desktop does:
// dbus-send as the desktop, dbus-monitor watching what it signals, the program playing loopback
// Icecast2 streams into a null sink of its own, which is recorded.
//
// A test fixture derives from BusProgramTest, names the channel list the program starts on and
// calls startProgram() (the program plays the first channel shortly after its start).

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/child_process.h"
#include "support/sink_recorder.h"
#include "support/test_servers.h"
#include "tests/e2e/listening.h"

namespace radiolist::test::e2e {

inline const std::string kService = "org.mpris.MediaPlayer2.radiolist";
inline const std::string kProgramPath = "/org/radiolist/Radiolist";

// Everything a non-blocking pipe holds right now, appended to `out`.
inline void drain(int fd, std::string& out) {
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
    out.append(buffer, static_cast<std::size_t>(n));
}

class BusProgramTest : public ServerTest {
 protected:
  // The bytes of Name.txt and url.txt.
  struct Channels {
    std::string names;
    std::string urls;
  };

  // `tag` names the channel directory (under the system's temporary directory).
  explicit BusProgramTest(std::string tag) : tag_(std::move(tag)) {}
  // Called once the servers are known.
  [[nodiscard]] virtual Channels channels() const = 0;

  void SetUp() override {
    ServerTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    sink_ = std::make_unique<PrivateSink>(servers());
    ASSERT_EQ(sink_->error(), "");
    recorder_ = std::make_unique<SinkRecorder>(*sink_);
    ASSERT_EQ(recorder_->start(), "");

    const Channels list = channels();
    dir_ = makeChannelDir(tag_, list.names, list.urls, RADIOLIST_SOURCE_DIR);
    // Where the user's music goes (xdg-user-dir MUSIC): the saved songs.
    std::filesystem::create_directories(dir_ / "config");
    std::ofstream(dir_ / "config" / "user-dirs.dirs")
        << "XDG_MUSIC_DIR=\"" << (dir_ / "music").string() << "\"\n";

    bus_ = std::make_unique<ChildProcess>(ChildProcess::Options{
        {"dbus-daemon", "--session", "--nofork", "--print-address=1"}, {}, true});
    for (int i = 0; i < 200 && address_.find('\n') == std::string::npos; ++i) {
      drain(bus_->stdoutFd(), address_);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_NE(address_.find('\n'), std::string::npos) << "no session bus";
    address_.resize(address_.find('\n'));

    monitor_ = std::make_unique<ChildProcess>(
        ChildProcess::Options{{"dbus-monitor", "--address", address_,
                               "type='signal',interface='org.freedesktop.DBus.Properties'",
                               "type='signal',interface='org.mpris.MediaPlayer2.Player'",
                               "type='method_call',member='Raise'"},
                              {},
                              true});
  }

  void TearDown() override {
    if (program_) program_->terminate();
    if (monitor_) monitor_->terminate();
    if (bus_) bus_->terminate();
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  void startProgram() { program_ = startIn(dir_); }
  // The program in `dir` with `args`; `env` is added to what it always gets (and wins). With
  // `captureOutput` its stderr, and stdout, come on stdoutFd().
  std::unique_ptr<ChildProcess> startIn(
      const std::filesystem::path& dir, const std::vector<std::string>& args = {},
      const std::vector<std::pair<std::string, std::string>>& env = {},
      bool captureOutput = false) {
    const std::filesystem::path oldDir = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    std::vector<std::string> argv{RADIOLIST_BINARY};
    // exec keeps the process id: the program's is the child's.
    if (captureOutput) argv = {"sh", "-c", "exec \"$@\" 2>&1", "sh", RADIOLIST_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::pair<std::string, std::string>> environment{
        {"QT_QPA_PLATFORM", "offscreen"},
        {"XDG_STATE_HOME", (dir_ / "state").string()},
        {"XDG_CONFIG_HOME", (dir_ / "config").string()},
        {"DBUS_SESSION_BUS_ADDRESS", address_},
        {"PULSE_SERVER", sink_->pulseServer()},
        {"PULSE_SINK", sink_->name()}};
    for (const auto& [key, value] : env) {
      const auto same = std::find_if(environment.begin(), environment.end(),
                                     [&key](const auto& entry) { return entry.first == key; });
      if (same != environment.end())
        same->second = value;
      else
        environment.emplace_back(key, value);
    }
    auto program = std::make_unique<ChildProcess>(
        ChildProcess::Options{std::move(argv), std::move(environment), captureOutput});
    std::filesystem::current_path(oldDir);
    return program;
  }

  // dbus-send --print-reply to the player; returns its output ("" and a failure when it fails).
  std::string send(const std::vector<std::string>& args,
                   const std::string& path = "/org/mpris/MediaPlayer2") {
    // --address would skip the bus's Hello; the environment variable does not.
    std::vector<std::string> argv{"dbus-send", "--session", "--print-reply", "--dest=" + kService,
                                  path};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto result = runCommand({argv, {{"DBUS_SESSION_BUS_ADDRESS", address_}}, true},
                                   std::chrono::seconds(10));
    EXPECT_EQ(result.exitCode, 0) << "dbus-send " << args.front() << ": " << result.output;
    return result.output;
  }
  // A call to the program's own interface (at kProgramPath), retried while the program is not on
  // the bus yet; dbus-send's output, an error reply's name and text included (no failure of the
  // test: the caller judges the answer).
  std::string callProgram(const std::vector<std::string>& args) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      std::vector<std::string> argv{"sh",
                                    "-c",
                                    "exec \"$@\" 2>&1",
                                    "sh",
                                    "dbus-send",
                                    "--session",
                                    "--print-reply",
                                    "--reply-timeout=20000",
                                    "--dest=" + kService,
                                    kProgramPath};
      argv.insert(argv.end(), args.begin(), args.end());
      const auto result = runCommand({argv, {{"DBUS_SESSION_BUS_ADDRESS", address_}}, true},
                                     std::chrono::seconds(30));
      if (result.output.find("ServiceUnknown") == std::string::npos ||
          std::chrono::steady_clock::now() > end)
        return result.output;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  }
  void call(const std::string& method) { send({"org.mpris.MediaPlayer2.Player." + method}); }
  std::string property(const std::string& name) {
    return send({"org.freedesktop.DBus.Properties.Get", "string:org.mpris.MediaPlayer2.Player",
                 "string:" + name});
  }
  bool propertyContains(const std::string& name, const std::string& text,
                        std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
      if (property(name).find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
  }
  bool listenFor(bool (*heard)(std::span<const float>), std::chrono::milliseconds timeout) {
    return recorder_->waitFor(std::chrono::milliseconds(200), timeout, heard).has_value();
  }

  std::unique_ptr<PrivateSink> sink_;
  std::unique_ptr<SinkRecorder> recorder_;
  std::unique_ptr<ChildProcess> bus_;
  std::unique_ptr<ChildProcess> monitor_;
  std::unique_ptr<ChildProcess> program_;
  std::filesystem::path dir_;
  std::string address_;

 private:
  std::string tag_;
};

}  // namespace radiolist::test::e2e
