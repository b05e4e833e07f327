// Keeping a channel playing through what servers do to it: Icecast restarted under a playing
// stream, a connection dropped in the middle of a metadata block, a server that replays old audio
// from an arbitrary byte on each connect. The real library, Icecast and the PulseAudio null sink.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "../net/test_stream_server.h"
#include "playback/bass.h"
#include "support/child_process.h"
#include "support/signal_analysis.h"
#include "support/sink_recorder.h"
#include "support/test_servers.h"

namespace {

using namespace std::chrono_literals;
using radiolist::net::testing::TestStreamServer;
using rl::test::SinkRecorder;
using rl::test::toneShare;

constexpr double kRate = SinkRecorder::kSampleRate;

HSTREAM startGeneral(const std::string& url) {
  BASS_Free();
  EXPECT_EQ(BASS_Init(-1, 44100, 0, nullptr, nullptr), 1);
  const std::u16string wide(url.begin(), url.end());
  const HSTREAM h = BASS_StreamCreateURL(wide.c_str(), 0, BASS_UNICODE, nullptr, nullptr);
  BASS_ChannelPlay(h, 1);
  BASS_Start();
  return h;
}

float peak(std::span<const float> samples) {
  float p = 0;
  for (float s : samples) p = std::max(p, std::abs(s));
  return p;
}

class ReconnectTest : public rl::test::ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    recorder_ = std::make_unique<SinkRecorder>(servers());
    ASSERT_EQ(recorder_->start(), "");
  }
  void TearDown() override {
    BASS_Free();
    // Later tests need Icecast whatever happened here.
    if (icecastDown_) {
      EXPECT_EQ(servers("icecast-up"), "");
    }
  }

  std::optional<std::chrono::milliseconds> hears(double tone, std::chrono::milliseconds timeout) {
    return recorder_->waitFor(200ms, timeout, [tone](std::span<const float> s) {
      return toneShare(s, tone, kRate) > 0.5;
    });
  }
  std::string servers(const char* command) {
    const auto result = rl::test::runCommand(
        {.argv = {RL_TEST_SERVERS_SH, command, servers().dir()}}, 60s);
    if (result.exitCode != 0) return command + (": " + result.output);
    icecastDown_ = std::string_view(command) == "icecast-down";
    return "";
  }
  using ServerTest::servers;

  std::unique_ptr<SinkRecorder> recorder_;
  bool icecastDown_ = false;
};

TEST_F(ReconnectTest, IcecastRestartedUnderAPlayingStreamComesBackWithoutInput) {
  const HSTREAM h = startGeneral(servers().mp3Url());
  ASSERT_TRUE(hears(440, 10s));
  ASSERT_EQ(servers("icecast-down"), "");
  // The handle stalls while it tries again, and keeps showing the station.
  const auto deadline = std::chrono::steady_clock::now() + 15s;
  while (BASS_ChannelIsActive(h) != BASS_ACTIVE_STALLED && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(20ms);
  EXPECT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_STALLED);
  const char* icy = BASS_ChannelGetTags(h, BASS_TAG_HTTP);  // Icecast answers HTTP/1.0
  ASSERT_NE(icy, nullptr);
  std::string block;
  for (const char* p = icy; *p != '\0'; p += std::strlen(p) + 1) block += std::string(p) + "\n";
  EXPECT_NE(block.find("icy-name:Test Radio 440"), std::string::npos) << block;
  EXPECT_NE(BASS_ChannelGetTags(h, BASS_TAG_META), nullptr);

  std::this_thread::sleep_for(1s);
  ASSERT_EQ(servers("icecast-up"), "");
  const auto back = hears(440, 40s);
  ASSERT_TRUE(back.has_value()) << "no sound within 40 s of Icecast's return";
  std::printf("sound again %lld ms after the mount was live again\n",
              static_cast<long long>(back->count()));
  EXPECT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_PLAYING);
}

// Every connection is cut inside a metadata block; every new one starts with a burst of old
// audio from a random byte. The channel plays on by itself, and no splice is louder than the tone.
TEST_F(ReconnectTest, DroppedConnectionsAndBurstsOnConnectPlayOnWithoutLoudGlitches) {
  TestStreamServer server({"--file", std::string(RL_ENGINE_MEDIA_DIR) + "/tone440.mp3",
                           "--status", "icy", "--metaint", "8192", "--title", "Drop Test",
                           "--repeat-meta", "--drop-after", "40000", "--drop-in-meta",
                           "--burst", "24000", "--rate", "16000"});
  ASSERT_NE(server.port(), 0);
  const HSTREAM h = startGeneral(server.url("/stream.mp3"));
  ASSERT_TRUE(hears(440, 10s));
  recorder_->record(300ms);
  const float tonePeak = peak(recorder_->last(300ms));
  ASSERT_GT(tonePeak, 0.01f);

  const auto from = recorder_->position();
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  auto requests = [&] {
    const auto log = server.requestLog();
    return std::count_if(log.begin(), log.end(), [](const std::string& l) { return l.starts_with("REQ"); });
  };
  while (requests() < 4 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(100ms);
  EXPECT_GE(requests(), 4);
  // The last connection sounds again.
  EXPECT_TRUE(hears(440, 10s));
  const auto heard = recorder_->since(from);
  EXPECT_LE(peak(heard), tonePeak * 1.25f) << "a splice was louder than the music";
  EXPECT_STREQ(BASS_ChannelGetTags(h, BASS_TAG_META), "StreamTitle='Drop Test';");
}

// A server that keeps the connection open but stops sending: after the stall timeout the channel
// connects again by itself and sounds.
TEST_F(ReconnectTest, AStalledConnectionIsMadeAgain) {
  TestStreamServer server({"--file", std::string(RL_ENGINE_MEDIA_DIR) + "/tone440.mp3",
                           "--status", "icy", "--rate", "16000", "--stall-after", "32000"});
  ASSERT_NE(server.port(), 0);
  const HSTREAM h = startGeneral(server.url("/stalls.mp3"));
  ASSERT_TRUE(hears(440, 10s));
  auto requests = [&] {
    const auto log = server.requestLog();
    return std::count_if(log.begin(), log.end(), [](const std::string& l) { return l.starts_with("REQ"); });
  };
  const auto deadline = std::chrono::steady_clock::now() + 40s;
  while (requests() < 2 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(100ms);
  ASSERT_GE(requests(), 2);
  EXPECT_TRUE(hears(440, 10s));
  EXPECT_NE(BASS_ChannelIsActive(h), BASS_ACTIVE_STOPPED);
}

// Servers that send titles and station names in a legacy code page: the tags hand them out as
// UTF-8 (Windows-1251 for Cyrillic, Windows-1252 otherwise), never as invalid bytes.
TEST_F(ReconnectTest, LegacyCodePageTitlesAndStationNamesArriveAsUtf8) {
  struct Case {
    const char* encoding;
    const char* name;
    const char* title;
  };
  for (const Case& c : {Case{"cp1251", "Радио Ретро", "Кино - Группа крови"},
                        Case{"latin-1", "Radio Café", "Beyoncé - Déjà Vu"}}) {
    SCOPED_TRACE(c.encoding);
    TestStreamServer server({"--file", std::string(RL_ENGINE_MEDIA_DIR) + "/tone440.mp3",
                             "--status", "icy", "--metaint", "8192", "--title", c.title,
                             "--repeat-meta", "--rate", "16000", "--encoding", c.encoding,
                             "--header", std::string("icy-name: ") + c.name});
    ASSERT_NE(server.port(), 0);
    const HSTREAM h = startGeneral(server.url("/legacy.mp3"));
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (BASS_ChannelGetTags(h, BASS_TAG_META) == nullptr &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(50ms);
    const char* meta = BASS_ChannelGetTags(h, BASS_TAG_META);
    ASSERT_NE(meta, nullptr);
    EXPECT_EQ(std::string(meta), std::string("StreamTitle='") + c.title + "';");
    const char* icy = BASS_ChannelGetTags(h, BASS_TAG_ICY);
    ASSERT_NE(icy, nullptr);
    std::string block;
    for (const char* p = icy; *p != '\0'; p += std::strlen(p) + 1) block += std::string(p) + "\n";
    EXPECT_NE(block.find(std::string("icy-name: ") + c.name), std::string::npos) << block;
    BASS_Free();
  }
}

}  // namespace
