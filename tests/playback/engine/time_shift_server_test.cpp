// Live radio paused and gone back in, on the real servers and heard at the sink: the stream goes
// on being received while paused, playing again carries on where it stopped (no gap where the
// voice's ring gives way to the replay), the title is the one of what is heard, and going live
// hands the ring back to the live decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <thread>

#include "playback/engine/shutdown.h"
#include "support/listening_test.h"
#include "support/signal_analysis.h"

namespace {

using namespace std::chrono_literals;
using radiolist::ShiftState;
using radiolist::test::SinkRecorder;
using radiolist::test::startLikeTheWindow;

class TimeShiftServerTest : public radiolist::test::ListeningTest {
 protected:
  ShiftState shift(HSTREAM h) { return radiolist::audio::channelShift(h).value_or(ShiftState{}); }
  std::string title(HSTREAM h) {
    const auto t = radiolist::audio::channelTitle(h);
    return t ? t->text : "";
  }
  // The shortest stretch of 50 ms windows in the next `duration` whose level falls below half
  // the median's: a gap or a jump the listener hears. 0 when there is none.
  std::size_t dropouts(std::chrono::milliseconds duration) {
    const auto from = recorder().position();
    recorder().record(duration);
    const auto heard = recorder().since(from);
    constexpr std::size_t kWindow = SinkRecorder::kSampleRate / 20;
    std::vector<double> levels;
    for (std::size_t at = 0; at + kWindow <= heard.size(); at += kWindow)
      levels.push_back(radiolist::test::rms(std::span(heard).subspan(at, kWindow)));
    if (levels.empty()) return 1;
    std::vector<double> sorted = levels;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    const double median = sorted[sorted.size() / 2];
    return static_cast<std::size_t>(
        std::count_if(levels.begin(), levels.end(), [&](double l) { return l < median / 2; }));
  }
};

TEST_F(TimeShiftServerTest, PausedItReceivesOnAndPlaysOnFromThereWithTheTitleHeard) {
  const std::string mount = servers().value("MOUNT_TONE440_MP3");
  ASSERT_EQ(servers().setIcecastTitle(mount, "Before - Pause"), "");
  const auto channel = startLikeTheWindow(servers().mp3Url());
  const HSTREAM h = channel.general;
  ASSERT_TRUE(hears(440));
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (title(h) != "Before - Pause" && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(100ms);
  ASSERT_EQ(title(h), "Before - Pause");
  EXPECT_FALSE(shift(h).behind);
  EXPECT_EQ(shift(h).delaySeconds, 0u);

  ASSERT_TRUE(radiolist::audio::channelPause(h, true));
  const ShiftState paused = shift(h);
  EXPECT_TRUE(paused.paused);
  EXPECT_TRUE(paused.behind);
  std::this_thread::sleep_for(200ms);  // what the sound server holds (80 ms) plays out
  EXPECT_TRUE(silentFor(1s));
  ASSERT_EQ(servers().setIcecastTitle(mount, "After - Pause"), "");
  std::this_thread::sleep_for(5s);
  const ShiftState later = shift(h);
  EXPECT_GE(later.liveUs - paused.liveUs, 5'000'000) << "received on while paused";
  EXPECT_NEAR(static_cast<double>(later.positionUs), static_cast<double>(paused.positionUs),
              100'000);
  const auto pausedFor = later.delaySeconds;
  EXPECT_GE(pausedFor, 6u);
  EXPECT_LE(pausedFor, 8u);
  EXPECT_EQ(title(h), "Before - Pause") << "the title of what is heard, not of live";
  EXPECT_EQ(radiolist::audio::channelShift(channel.aac), std::nullopt);

  ASSERT_TRUE(radiolist::audio::channelPause(h, false));
  EXPECT_TRUE(hears(440, 2s));
  // The ring's second and a half, then the replay: one sound throughout.
  EXPECT_EQ(dropouts(3s), 0u);
  EXPECT_NEAR(shift(h).delaySeconds, pausedFor, 1) << "playing behind live keeps the delay";
  // The title changed about six seconds behind live: heard when the audio reaches it.
  const auto changed = std::chrono::steady_clock::now() + 8s;
  while (title(h) != "After - Pause" && std::chrono::steady_clock::now() < changed)
    std::this_thread::sleep_for(100ms);
  EXPECT_EQ(title(h), "After - Pause");

  // Back three seconds, then live again.
  const ShiftState before = shift(h);
  ASSERT_TRUE(radiolist::audio::channelSeek(h, before.positionUs - 3'000'000));
  EXPECT_NEAR(shift(h).delaySeconds, before.delaySeconds + 3, 1);
  EXPECT_TRUE(hears(440, 2s));
  ASSERT_TRUE(radiolist::audio::channelSeek(h, std::numeric_limits<std::int64_t>::max()));
  const auto live = std::chrono::steady_clock::now() + 3s;
  while (shift(h).behind && std::chrono::steady_clock::now() < live)
    std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(shift(h).behind) << "the live decoder has the ring again";
  EXPECT_EQ(shift(h).delaySeconds, 0u);
  EXPECT_EQ(dropouts(2s), 0u) << "the live decoder carries on where the replay stopped";

  // A stop is a stop: playing again is live and not paused.
  ASSERT_TRUE(radiolist::audio::channelPause(h, true));
  BASS_ChannelStop(h);
  BASS_ChannelPlay(h, 1);
  EXPECT_TRUE(hears(440, 2s));
  EXPECT_FALSE(shift(h).paused);
  EXPECT_EQ(servers().setIcecastTitle(mount, "Test Artist - Tone 440"), "");
}

}  // namespace
