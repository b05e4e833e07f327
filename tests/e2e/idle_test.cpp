// The real program at rest: its threads carry names of their own, and a paused or stopped
// player lets go of what it does not need. Paused, its sound stream is corked and it goes on
// receiving; stopped, the stream is corked and, after a few seconds, its connection and the
// threads serving it end. Read from /proc/<pid>/task/*/comm and from the sound server
// (pactl list sink-inputs of the program's own process).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "tests/e2e/bus_program.h"
#include "tests/e2e/listening.h"

using namespace std::chrono_literals;

namespace {

using radiolist::test::e2e::only440;
using radiolist::test::e2e::silent;

// The names of the threads of process `pid` now.
std::vector<std::string> threadNames(pid_t pid) {
  std::vector<std::string> names;
  std::error_code error;
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
    std::string name;
    std::getline(std::ifstream(task.path() / "comm"), name);
    if (!name.empty()) names.push_back(name);
  }
  return names;
}

std::size_t countOf(const std::vector<std::string>& names, const std::string& name) {
  return static_cast<std::size_t>(std::count(names.begin(), names.end(), name));
}

template <typename F>
bool waitUntil(F f, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!f()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(100ms);
  }
  return true;
}

class IdleTest : public radiolist::test::e2e::BusProgramTest {
 protected:
  IdleTest() : BusProgramTest("idle") {}
  [[nodiscard]] Channels channels() const override { return {"Tone\n", servers().mp3Url() + "\n"}; }

  // Whether each playback stream of the program at the sound server is corked (other tests'
  // streams on the same server are left out).
  std::vector<bool> streamsCorked() {
    const auto result =
        radiolist::test::runCommand({{"pactl", "list", "sink-inputs"},
                                     {{"PULSE_SERVER", sink_->pulseServer()}, {"LC_ALL", "C"}},
                                     true},
                                    5s);
    std::vector<bool> corked;
    const std::string ours = "application.process.id = \"" + std::to_string(program_->pid()) + "\"";
    const std::string& text = result.output;
    for (std::size_t at = text.find("Sink Input #"); at != std::string::npos;) {
      const std::size_t next = text.find("Sink Input #", at + 1);
      const std::string block = text.substr(at, next == std::string::npos ? next : next - at);
      if (const auto c = block.find("Corked: ");
          c != std::string::npos && block.find(ours) != std::string::npos)
        corked.push_back(block.compare(c + 8, 3, "yes") == 0);
      at = next;
    }
    return corked;
  }
  std::vector<std::string> names() { return threadNames(program_->pid()); }
};

TEST_F(IdleTest, ThreadsAreNamedAndAPausedOrStoppedPlayerLetsGoOfWhatItNeedsNot) {
  startProgram();
  ASSERT_TRUE(listenFor(only440, 8s));
  ASSERT_TRUE(propertyContains("PlaybackStatus", "\"Playing\"", 3s));

  // Playing: each of the library's threads by its name, the program's name on the main one only.
  auto now = names();
  for (const char* name : {"rl-net", "rl-decode", "rl-janitor", "rl-netwatch"})
    EXPECT_EQ(countOf(now, name), 1u) << name << " among " << testing::PrintToString(now);
  EXPECT_EQ(countOf(now, "radiolist"), 1u) << testing::PrintToString(now);
  EXPECT_EQ(streamsCorked(), std::vector{false});

  // Paused: silent, the stream corked, receiving on; the replay's thread has come.
  call("Pause");
  EXPECT_TRUE(listenFor(silent, 2s));
  EXPECT_TRUE(waitUntil([&] { return streamsCorked() == std::vector{true}; }, 5s));
  now = names();
  for (const char* name : {"rl-net", "rl-decode", "rl-replay"})
    EXPECT_EQ(countOf(now, name), 1u) << name << " among " << testing::PrintToString(now);
  EXPECT_EQ(countOf(now, "radiolist"), 1u) << testing::PrintToString(now);

  call("Play");
  EXPECT_TRUE(listenFor(only440, 3s));
  EXPECT_EQ(streamsCorked(), std::vector{false});

  // Stopped: the stream corked at once; a few seconds later nothing receives or decodes.
  call("Stop");
  EXPECT_TRUE(listenFor(silent, 2s));
  EXPECT_TRUE(waitUntil([&] { return streamsCorked() == std::vector{true}; }, 5s));
  EXPECT_TRUE(waitUntil(
      [&] {
        now = names();
        return countOf(now, "rl-net") + countOf(now, "rl-decode") + countOf(now, "rl-replay") == 0;
      },
      20s))
      << "still running while stopped: " << testing::PrintToString(now);

  // And the next start plays as ever.
  call("Play");
  EXPECT_TRUE(listenFor(only440, 5s)) << "Play after a long stop";
  EXPECT_EQ(streamsCorked(), std::vector{false});
}

}  // namespace
