// The real audio library on live HLS streams: created the way the window creates a channel, the
// tone is heard on the null sink and the titles from the segments' ID3 tags come out as
// BASS_TAG_META in ICY form, following each change.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "live_server.h"
#include "playback/bass.h"
#include "support/signal_analysis.h"
#include "support/sink_recorder.h"
#include "support/test_servers.h"

namespace radiolist::hls {
namespace {

using namespace std::chrono_literals;
using test::kTitles;
using test::LiveServer;

struct Pair {
  HSTREAM general = 0;
  HSTREAM aac = 0;
};

class HlsBassTest : public rl::test::ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    // One sink for all tests: the library keeps its output open across BASS_Free/BASS_Init,
    // so it stays on the sink it first found.
    if (!sink_) {
      sink_ = std::make_unique<rl::test::PrivateSink>(servers());
      ASSERT_EQ(sink_->error(), "");
      sink_->exportAsDefault();
      recorder_ = std::make_unique<rl::test::SinkRecorder>(*sink_);
      ASSERT_EQ(recorder_->start(), "");
    }
  }
  void TearDown() override { BASS_Free(); }
  static void TearDownTestSuite() {
    recorder_.reset();
    sink_.reset();
    unsetenv("PULSE_SINK");
  }

  // What the window does on every start: free, init, create both kinds, play both, start.
  static Pair start(const std::string& url) {
    BASS_Free();
    EXPECT_EQ(BASS_Init(-1, 44100, BASS_UNICODE, nullptr, nullptr), 1);
    const std::u16string wide(url.begin(), url.end());
    Pair p;
    p.general = BASS_StreamCreateURL(wide.c_str(), 0, BASS_UNICODE, nullptr, nullptr);
    p.aac = BASS_AAC_StreamCreateURL(wide.c_str(), 0, BASS_UNICODE, nullptr, nullptr);
    BASS_ChannelPlay(p.general, 1);
    BASS_ChannelPlay(p.aac, 1);
    BASS_Start();
    return p;
  }

  static bool hears(double tone, std::chrono::milliseconds timeout) {
    return recorder_
        ->waitFor(200ms, timeout,
                  [tone](std::span<const float> s) {
                    return rl::test::toneShare(s, tone, rl::test::SinkRecorder::kSampleRate) > 0.5;
                  })
        .has_value();
  }

  // Polls the handle's metadata until it differs from `other` and is not null.
  static std::string nextTitle(HSTREAM h, const std::string& other, std::chrono::seconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
      if (const char* meta = BASS_ChannelGetTags(h, BASS_TAG_META); meta != nullptr && meta != other)
        return meta;
      std::this_thread::sleep_for(100ms);
    }
    return other;
  }

  // Both titles, one after the other, on the handle that plays.
  void expectTitlesFollow(HSTREAM h) {
    const std::string one = "StreamTitle='" + std::string(kTitles[0]) + "';";
    const std::string two = "StreamTitle='" + std::string(kTitles[1]) + "';";
    const std::string first = nextTitle(h, "", 10s);
    ASSERT_TRUE(first == one || first == two) << first;
    const std::string second = nextTitle(h, first, 10s);
    EXPECT_EQ(second, first == one ? two : one);
  }

  static inline std::unique_ptr<rl::test::PrivateSink> sink_;
  static inline std::unique_ptr<rl::test::SinkRecorder> recorder_;
};

TEST_F(HlsBassTest, MpegTsWithTimedId3PlaysThroughTheAacCreation) {
  LiveServer server({"--format", "ts"});
  ASSERT_FALSE(server.url().empty());
  const Pair p = start(server.url());
  EXPECT_TRUE(hears(440, 15s));
  EXPECT_EQ(BASS_ChannelIsActive(p.aac), BASS_ACTIVE_PLAYING);
  expectTitlesFollow(p.aac);
  for (const std::string& line : server.requestLog())
    EXPECT_TRUE(line.ends_with(" radiolist/0.1")) << line;
}

TEST_F(HlsBassTest, PackedMp3WithId3HeadsPlaysThroughTheGeneralCreation) {
  LiveServer server({"--format", "mp3"});
  ASSERT_FALSE(server.url().empty());
  const Pair p = start(server.url());
  EXPECT_TRUE(hears(440, 15s));
  EXPECT_EQ(BASS_ChannelIsActive(p.general), BASS_ACTIVE_PLAYING);
  expectTitlesFollow(p.general);
  for (const std::string& line : server.requestLog())
    EXPECT_TRUE(line.ends_with(" radiolist/0.1")) << line;
}

TEST_F(HlsBassTest, EncryptedPackedAacFromAMasterPlaylistPlays) {
  LiveServer server({"--format", "aac", "--key", "--variants"});
  ASSERT_FALSE(server.url().empty());
  const Pair p = start(server.url());
  EXPECT_TRUE(hears(440, 15s));
  EXPECT_EQ(BASS_ChannelIsActive(p.aac), BASS_ACTIVE_PLAYING);
  expectTitlesFollow(p.aac);
  // The variant not played is fetched no further than the demuxer's opening of it (its first
  // segment): the library chooses before the first packet.
  int other = 0;
  for (const std::string& line : server.requestLog()) other += line.find("GET /b-seg") == 0;
  EXPECT_LE(other, 1) << "segments of the variant not played went on being fetched";
}

}  // namespace
}  // namespace radiolist::hls
