// Hostile stations on the real library, heard at the sink: a station that sends faster than real
// time must be taken no faster than it plays while paused (the rest waits in the socket), and
// playing on or going live must sound at once; a chained Ogg stream of 30 ms links that change
// rate and channels must cost no more than the song buffer's bound; levelling must not raise a
// station's DC.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "playback/engine/loudness.h"
#include "playback/engine/process_stats.h"
#include "playback/engine/shutdown.h"
#include "playback/engine/song_buffer.h"
#include "playback/engine/time_shift.h"
#include "playback/net/test_stream_server.h"
#include "support/listening_test.h"
#include "support/signal_analysis.h"
#include "support/proc_status.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

using namespace std::chrono_literals;
using radiolist::audio::LevelControl;
using radiolist::audio::StreamFigures;
using radiolist::test::startLikeTheWindow;
using radiolist::test::TestStreamServer;

const std::string kMedia = RL_ENGINE_MEDIA_DIR;

// The process's resident memory, or under a sanitizer (whose quarantine and shadow memory count
// as resident) its live heap, in KiB.
long memoryKiB() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return static_cast<long>(__sanitizer_get_current_allocated_bytes() / 1024);
#else
  return radiolist::test::statusKiB("self", "VmRSS");
#endif
}

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class HostileStationTest : public radiolist::test::ListeningTest {
 protected:
  void SetUp() override {
    ListeningTest::SetUp();
    radiolist::audio::setLoudnessFile("");  // no station's loudness remembered, none written
  }
  StreamFigures figures(HSTREAM h) {
    return radiolist::audio::streamFigures(h).value_or(StreamFigures{});
  }
  radiolist::ShiftState shift(HSTREAM h) {
    return radiolist::audio::channelShift(h).value_or(radiolist::ShiftState{});
  }
  // Goes live and waits until the live decoder has the ring again.
  void goLive(HSTREAM h) {
    ASSERT_TRUE(radiolist::audio::channelSeek(h, std::numeric_limits<std::int64_t>::max()));
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (shift(h).behind && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(shift(h).behind);
  }
};

// 8 kbit/s sent as fast as the loopback takes it: paused for 10 s, what arrives stays near 10 s
// of audio (ten kilobytes), not the gigabytes the server would send; then Play and Go live both
// sound, and live goes on sounding.
TEST_F(HostileStationTest, ABlastingStationPausedIsTakenAtItsOwnPaceAndPlaysOnAtOnce) {
  TestStreamServer server(
      {"--file", kMedia + "/tone440_8kbit.mp3", "--content-type", "audio/mpeg", "--rate", "0"});
  ASSERT_NE(server.port(), 0);
  const auto channel = startLikeTheWindow(server.url("/live"));
  const HSTREAM h = channel.general;
  ASSERT_TRUE(hears(440));
  const double liveLevel = levelOver(1s);
  ASSERT_GT(liveLevel, 0.01);

  ASSERT_TRUE(radiolist::audio::channelPause(h, true));
  const StreamFigures before = figures(h);
  std::this_thread::sleep_for(10s);
  const StreamFigures after = figures(h);
  const double mediaSeconds = static_cast<double>(after.receivedUs - before.receivedUs) / 1e6;
  const auto bytes = after.bodyBytes - before.bodyBytes;
  std::cout << "[pace] paused 10 s: " << mediaSeconds << " s of audio, " << bytes
            << " body bytes received" << std::endl;
  EXPECT_GT(mediaSeconds, 5.0) << "received on while paused";
  // Real time, plus the allowance for a burst, plus slack for a loaded machine.
  const double allowance =
      std::chrono::duration<double>(radiolist::audio::TimeShift::kPaceAllowance).count();
  EXPECT_LT(mediaSeconds, 10.0 + allowance + 5.0);
  EXPECT_LT(bytes, 1u << 20) << "the transfer did not wait while paused";

  ASSERT_TRUE(radiolist::audio::channelPause(h, false));
  EXPECT_TRUE(hears(440, 3s)) << "Play brought no sound";
  goLive(h);
  EXPECT_TRUE(hears(440, 3s)) << "Go live brought no sound";
  EXPECT_GT(levelOver(3s), liveLevel * 0.7) << "live stays mostly silent";
}

// A chain of 30 ms Ogg links alternating 44.1 kHz stereo and 48 kHz mono, sent as fast as it is
// taken: live, paused and played on, the song buffer stays within its bound and so does the
// process; and it sounds.
TEST_F(HostileStationTest, AChainOf30MsLinksCostsNoMoreThanTheBufferKeeps) {
  const std::string stereo = readAll(kMedia + "/link_44k_stereo.ogg");
  const std::string mono = readAll(kMedia + "/link_48k_mono.ogg");
  ASSERT_FALSE(stereo.empty());
  ASSERT_FALSE(mono.empty());
  const std::filesystem::path chain = std::filesystem::path(::testing::TempDir()) /
                                      ("links-" + std::to_string(::getpid()) + ".ogg");
  {
    std::ofstream out(chain, std::ios::binary);
    for (int i = 0; i < 200; ++i) out << stereo << mono;
  }
  TestStreamServer server(
      {"--file", chain.string(), "--content-type", "application/ogg", "--rate", "0"});
  ASSERT_NE(server.port(), 0);
  const long memoryBefore = memoryKiB();
  long memoryPeak = memoryBefore;
  std::size_t songPeak = 0;
  const auto watch = [&](std::chrono::milliseconds duration, HSTREAM h) {
    const auto until = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(200ms);
      memoryPeak = std::max(memoryPeak, memoryKiB());
      songPeak = std::max(songPeak, figures(h).songBytes);
    }
  };
  const auto channel = startLikeTheWindow(server.url("/chain.ogg"));
  const HSTREAM h = channel.general;
  EXPECT_GT(levelOver(3s), 0.01) << "the chain does not sound";
  watch(5s, h);
  ASSERT_TRUE(radiolist::audio::channelPause(h, true));
  watch(10s, h);
  ASSERT_TRUE(radiolist::audio::channelPause(h, false));
  EXPECT_GT(levelOver(2s), 0.01) << "Play brought no sound";
  goLive(h);
  watch(3s, h);
  EXPECT_GT(levelOver(1s), 0.01) << "live brought no sound";
  std::filesystem::remove(chain);
  std::cout << "[pace] 30 ms links: song buffer peak " << songPeak / 1024 << " KiB, memory "
            << memoryBefore << " -> peak " << memoryPeak << " KiB" << std::endl;
  EXPECT_LE(songPeak, radiolist::audio::SongBuffer::kKeepBytes);
  EXPECT_LT(memoryPeak - memoryBefore, 40 * 1024);
}

// A DC of 0.5 under a -40 dBFS tone: levelled, the tone comes up by the full 12 dB and the DC
// stays where it was (it came out near -1.5 dBFS, the limiter holding a raised DC).
TEST_F(HostileStationTest, LevellingRaisesAQuietToneButNotTheDcUnderIt) {
  TestStreamServer server(
      {"--file", kMedia + "/dc_under_tone.flac", "--content-type", "audio/flac", "--rate", "0"});
  ASSERT_NE(server.port(), 0);
  startLikeTheWindow(server.url("/dc.flac"));
  // The DC dominates what is heard: its level tells that the station plays.
  const auto until = std::chrono::steady_clock::now() + 15s;
  while (levelOver(500ms) < 0.1 && std::chrono::steady_clock::now() < until) {
  }
  ASSERT_GT(levelOver(500ms), 0.1) << "the station does not play";
  // The gain settles after 6 s of measured loudness, at 8 dB a second.
  std::this_thread::sleep_for(15s);
  const auto from = recorder().position();
  recorder().record(2s);
  auto heard = recorder().since(from);
  ASSERT_GT(heard.size(), 44100u);
  // The tone's amplitude against the DC's (the sink's mix to mono scales both alike; a moment of
  // underrun on a loaded machine moves neither the median nor the tone's component much).
  const double tone = 2 *
                      std::sqrt(radiolist::test::goertzelPower(
                          heard, 1000, radiolist::test::SinkRecorder::kSampleRate)) /
                      static_cast<double>(heard.size());
  std::nth_element(heard.begin(), heard.begin() + heard.size() / 2, heard.end());
  const double dc = heard[heard.size() / 2];
  const double raisedDb = 20 * std::log10((tone / dc) / (0.01 / 0.5));
  std::cout << "[dc] heard DC " << dc << ", tone amplitude " << tone << ": the tone " << raisedDb
            << " dB over the DC against what was sent" << std::endl;
  EXPECT_GT(dc, 0.1) << "the DC is gone";
  // Raised by the full gain, or nearly so while it settles; about 0 dB when the DC is raised too.
  EXPECT_GT(raisedDb, LevelControl::kMaxGainDb - 4) << "the DC was raised with the tone";
  EXPECT_LT(raisedDb, LevelControl::kMaxGainDb + 1);
}

}  // namespace
