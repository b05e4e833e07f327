// Keeping a channel playing through what servers do to it: Icecast restarted under a playing
// stream, a connection dropped in the middle of a metadata block, a server that replays old audio
// from an arbitrary byte on each connect. The real library, Icecast and the PulseAudio null sink.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>

#include "../net/test_stream_server.h"
#include "playback/bass.h"
#include "support/child_process.h"
#include "support/listening_test.h"

namespace {

using namespace std::chrono_literals;
using radiolist::test::TestStreamServer;

// Plays `url` through the general creation only, as the window does for an MP3 station.
HSTREAM startGeneral(const std::string& url) {
  return radiolist::test::startLikeTheWindow(url, true, false).general;
}

float peak(std::span<const float> samples) {
  float p = 0;
  for (float s : samples) p = std::max(p, std::abs(s));
  return p;
}

// How many connections the test server has been asked for.
long requestCount(const TestStreamServer& server) {
  const auto log = server.requestLog();
  return std::count_if(log.begin(), log.end(),
                       [](const std::string& l) { return l.starts_with("REQ"); });
}

bool hasLine(const char* block, const std::string& line) {
  const auto lines = radiolist::test::tagLines(block);
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class ReconnectTest : public radiolist::test::ListeningTest {
 protected:
  void TearDown() override {
    ListeningTest::TearDown();
    // Later tests need Icecast whatever happened here.
    if (icecastDown_) {
      EXPECT_EQ(servers("icecast-up"), "");
    }
  }

  std::string servers(const char* command) {
    const auto result =
        radiolist::test::runCommand({.argv = {RL_TEST_SERVERS_SH, command, servers().dir()}}, 60s);
    if (result.exitCode != 0) return command + (": " + result.output);
    icecastDown_ = std::string_view(command) == "icecast-down";
    return "";
  }
  using ServerTest::servers;

  bool icecastDown_ = false;
};

TEST_F(ReconnectTest, IcecastRestartedUnderAPlayingStreamComesBackWithoutInput) {
  const HSTREAM h = startGeneral(servers().mp3Url());
  ASSERT_TRUE(hears(440, 10s));
  ASSERT_EQ(servers("icecast-down"), "");
  // The handle stalls while it tries again, and keeps showing the station.
  const auto deadline = std::chrono::steady_clock::now() + 15s;
  while (BASS_ChannelIsActive(h) != BASS_ACTIVE_STALLED &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(20ms);
  EXPECT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_STALLED);
  // Icecast answers HTTP/1.0: its icy-* lines are HTTP tags.
  EXPECT_TRUE(hasLine(BASS_ChannelGetTags(h, BASS_TAG_HTTP), "icy-name:Test Radio 440"));
  EXPECT_NE(BASS_ChannelGetTags(h, BASS_TAG_META), nullptr);

  std::this_thread::sleep_for(1s);
  ASSERT_EQ(servers("icecast-up"), "");
  const auto back = timeToHear(440, 40s);
  ASSERT_TRUE(back.has_value()) << "no sound within 40 s of Icecast's return";
  std::printf("sound again %lld ms after the mount was live again\n",
              static_cast<long long>(back->count()));
  EXPECT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_PLAYING);
}

// Every connection is cut inside a metadata block; every new one starts with a burst of old
// audio from a random byte. The channel plays on by itself, and no splice is louder than the tone.
TEST_F(ReconnectTest, DroppedConnectionsAndBurstsOnConnectPlayOnWithoutLoudGlitches) {
  TestStreamServer server({"--file", std::string(RL_ENGINE_MEDIA_DIR) + "/tone440.mp3", "--status",
                           "icy", "--metaint", "8192", "--title", "Drop Test", "--repeat-meta",
                           "--drop-after", "40000", "--drop-in-meta", "--burst", "24000", "--rate",
                           "16000"});
  ASSERT_NE(server.port(), 0);
  const HSTREAM h = startGeneral(server.url("/stream.mp3"));
  ASSERT_TRUE(hears(440, 10s));
  recorder().record(300ms);
  const float tonePeak = peak(recorder().last(300ms));
  ASSERT_GT(tonePeak, 0.01f);

  const auto from = recorder().position();
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (requestCount(server) < 4 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(100ms);
  EXPECT_GE(requestCount(server), 4);
  // The last connection sounds again.
  EXPECT_TRUE(hears(440, 10s));
  const auto heard = recorder().since(from);
  EXPECT_LE(peak(heard), tonePeak * 1.25f) << "a splice was louder than the music";
  EXPECT_STREQ(BASS_ChannelGetTags(h, BASS_TAG_META), "StreamTitle='Drop Test';");
}

// A server that keeps the connection open but stops sending: after the stall timeout the channel
// connects again by itself and sounds.
TEST_F(ReconnectTest, AStalledConnectionIsMadeAgain) {
  TestStreamServer server({"--file", std::string(RL_ENGINE_MEDIA_DIR) + "/tone440.mp3", "--status",
                           "icy", "--rate", "16000", "--stall-after", "32000"});
  ASSERT_NE(server.port(), 0);
  const HSTREAM h = startGeneral(server.url("/stalls.mp3"));
  ASSERT_TRUE(hears(440, 10s));
  const auto deadline = std::chrono::steady_clock::now() + 40s;
  while (requestCount(server) < 2 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(100ms);
  ASSERT_GE(requestCount(server), 2);
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
    EXPECT_EQ(radiolist::test::metaWithin(h, 10s), std::string("StreamTitle='") + c.title + "';");
    EXPECT_TRUE(hasLine(BASS_ChannelGetTags(h, BASS_TAG_ICY), std::string("icy-name: ") + c.name));
    BASS_Free();
  }
}

}  // namespace
