// The desktop's media controls on the real program: a private session bus, dbus-send as the
// desktop, the program playing loopback Icecast2 streams, the sound checked at the sink.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/child_process.h"
#include "support/signal_analysis.h"
#include "support/sink_recorder.h"
#include "support/test_servers.h"
#include "tests/e2e/listening.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using radiolist::test::ChildProcess;
using radiolist::test::toneShare;

namespace {

using radiolist::test::e2e::only440;
using radiolist::test::e2e::only880;
using radiolist::test::e2e::silent;
const std::string kService = "org.mpris.MediaPlayer2.radiolist";

// Everything a non-blocking pipe holds right now, appended to `out`.
void drain(int fd, std::string& out) {
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
    out.append(buffer, static_cast<std::size_t>(n));
}

class MprisTest : public radiolist::test::ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    if (IsSkipped()) return;
    sink_ = std::make_unique<radiolist::test::PrivateSink>(servers());
    ASSERT_EQ(sink_->error(), "");
    recorder_ = std::make_unique<radiolist::test::SinkRecorder>(*sink_);
    ASSERT_EQ(recorder_->start(), "");

    dir_ = radiolist::test::e2e::makeChannelDir(
        "mpris", "Первый\r\nSecond\r\n", servers().mp3Url() + "\r\n" + servers().aacUrl() + "\r\n",
        RADIOLIST_SOURCE_DIR);

    bus_ = std::make_unique<ChildProcess>(ChildProcess::Options{
        {"dbus-daemon", "--session", "--nofork", "--print-address=1"}, {}, true});
    for (int i = 0; i < 200 && address_.find('\n') == std::string::npos; ++i) {
      drain(bus_->stdoutFd(), address_);
      std::this_thread::sleep_for(10ms);
    }
    ASSERT_NE(address_.find('\n'), std::string::npos) << "no session bus";
    address_.resize(address_.find('\n'));

    monitor_ = std::make_unique<ChildProcess>(
        ChildProcess::Options{{"dbus-monitor", "--address", address_,
                               "type='signal',interface='org.freedesktop.DBus.Properties'"},
                              {},
                              true});
  }

  void TearDown() override {
    if (program_) program_->terminate();
    if (monitor_) monitor_->terminate();
    if (bus_) bus_->terminate();
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  void startProgram() {
    const fs::path oldDir = fs::current_path();
    fs::current_path(dir_);
    program_ = std::make_unique<ChildProcess>(
        ChildProcess::Options{{RADIOLIST_BINARY},
                              {{"QT_QPA_PLATFORM", "offscreen"},
                               {"DBUS_SESSION_BUS_ADDRESS", address_},
                               {"PULSE_SERVER", sink_->pulseServer()},
                               {"PULSE_SINK", sink_->name()}},
                              false});
    fs::current_path(oldDir);
  }

  // dbus-send --print-reply to the player; returns its output ("" and a failure when it fails).
  std::string send(const std::vector<std::string>& args) {
    // --address would skip the bus's Hello; the environment variable does not.
    std::vector<std::string> argv{"dbus-send", "--session", "--print-reply", "--dest=" + kService,
                                  "/org/mpris/MediaPlayer2"};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto result =
        radiolist::test::runCommand({argv, {{"DBUS_SESSION_BUS_ADDRESS", address_}}, true}, 10s);
    EXPECT_EQ(result.exitCode, 0) << "dbus-send " << args.front() << ": " << result.output;
    return result.output;
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
      std::this_thread::sleep_for(200ms);
    }
    return false;
  }
  bool listenFor(bool (*heard)(std::span<const float>), std::chrono::milliseconds timeout) {
    return recorder_->waitFor(200ms, timeout, heard).has_value();
  }

  std::unique_ptr<radiolist::test::PrivateSink> sink_;
  std::unique_ptr<radiolist::test::SinkRecorder> recorder_;
  std::unique_ptr<ChildProcess> bus_;
  std::unique_ptr<ChildProcess> monitor_;
  std::unique_ptr<ChildProcess> program_;
  fs::path dir_;
  std::string address_;
};

TEST_F(MprisTest, MediaKeysAndMetadataFollowTheRealPlayer) {
  startProgram();
  ASSERT_TRUE(listenFor(only440, 3s));
  ASSERT_TRUE(propertyContains("PlaybackStatus", "\"Playing\"", 3s));
  EXPECT_TRUE(propertyContains("Metadata", "Test Radio 440", 6s)) << property("Metadata");
  EXPECT_TRUE(propertyContains("Metadata", "Test Artist - Tone 440", 3s)) << property("Metadata");
  EXPECT_NE(property("CanGoNext").find("true"), std::string::npos);
  EXPECT_NE(property("CanGoPrevious").find("false"), std::string::npos);

  // Like the button: after a channel start the first press restarts, the second stops.
  call("PlayPause");
  EXPECT_TRUE(listenFor(only440, 3s));
  call("PlayPause");
  EXPECT_TRUE(listenFor(silent, 2s)) << "PlayPause stops what is heard";
  EXPECT_TRUE(propertyContains("PlaybackStatus", "\"Stopped\"", 3s));
  call("Play");
  EXPECT_TRUE(listenFor(only440, 3s)) << "Play starts again";

  call("Next");
  EXPECT_TRUE(listenFor(only880, 4s)) << "Next plays the second channel";
  EXPECT_TRUE(propertyContains("Metadata", "Test Radio 880", 6s)) << property("Metadata");
  call("Next");  // at the end of the list nothing happens
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(listenFor(only880, 2s));
  call("Previous");
  EXPECT_TRUE(listenFor(only440, 4s)) << "Previous goes back to the first channel";

  call("Stop");
  EXPECT_TRUE(listenFor(silent, 2s));
  std::this_thread::sleep_for(1500ms);  // the next refresh signals the change
  std::string signals;
  drain(monitor_->stdoutFd(), signals);
  EXPECT_NE(signals.find("PropertiesChanged"), std::string::npos);
  EXPECT_NE(signals.find("\"Stopped\""), std::string::npos) << signals;
  EXPECT_NE(signals.find("Test Radio 880"), std::string::npos) << "metadata changes are signalled";

  std::string root = send(
      {"org.freedesktop.DBus.Properties.Get", "string:org.mpris.MediaPlayer2", "string:Identity"});
  EXPECT_NE(root.find("radiolist"), std::string::npos) << root;
}

TEST_F(MprisTest, WithoutASessionBusTheProgramRunsAsBefore) {
  address_ = "unix:path=/nonexistent/bus";
  startProgram();
  EXPECT_TRUE(listenFor(only440, 3s));
  EXPECT_FALSE(program_->waitFor(500ms).has_value()) << "the program must keep running";
}

}  // namespace
