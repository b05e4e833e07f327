// Addresses gone for good, told to both channels of the window as Gone events, and StreamPlays'
// verdicts, against Icecast and test servers on loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "../net/test_stream_server.h"
#include "playback/engine/engine.h"
#include "playback/engine/shutdown.h"
#include "support/listening_test.h"

namespace radiolist::audio {
namespace {

using namespace std::chrono_literals;
using test::TestStreamServer;
using Told = std::map<DWORD, std::vector<StreamGone>>;

template <typename F>
bool waitUntil(F f, std::chrono::milliseconds timeout) {
  for (const auto end = std::chrono::steady_clock::now() + timeout; !f();) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// The Gone events among `events`, added to `told` by handle.
void noteGone(const std::vector<PlaybackEvent>& events, Told& told) {
  for (const auto& e : events) {
    if (e.kind == PlaybackEvent::Kind::Gone) told[e.handle].push_back(e.gone);
  }
}

// Nobody listens on port 1 of the loopback: connections are refused at once.
constexpr const char* kRefused = "http://127.0.0.1:1/x.mp3";

class GoneTest : public test::ListeningTest {};

TEST_F(GoneTest, AnAddressThatNeverPlayedIsGoneOnA404Or410OrANameThatDoesNotResolve) {
  TestStreamServer says410({"--status", "http11", "--status-code", "410"});
  struct Case {
    std::string url;
    std::vector<StreamGone> told;  // to each of the two handles
  };
  for (const Case& c : std::vector<Case>{
           {servers().mountUrl("/no-such-mount.mp3"), {StreamGone::NotFound}},
           {says410.url("/moved.mp3"), {StreamGone::NotFound}},
           {"http://no-such-host.invalid/stream.mp3", {StreamGone::NoSuchHost}},
           {kRefused, {}},  // down, perhaps for a moment: no news
       }) {
    SCOPED_TRACE(c.url);
    takeEvents();
    const auto channel = test::startLikeTheWindow(c.url);
    Told told;
    // The source gives up at once: both handles stop, and what they were told waits by then.
    ASSERT_TRUE(waitUntil(
        [&] {
          return BASS_ChannelIsActive(channel.general) == BASS_ACTIVE_STOPPED &&
                 BASS_ChannelIsActive(channel.aac) == BASS_ACTIVE_STOPPED;
        },
        15s));
    noteGone(takeEvents(), told);
    EXPECT_EQ(told[channel.general], c.told);
    EXPECT_EQ(told[channel.aac], c.told);
    // Played again, a handle of the gone source is not told twice.
    BASS_ChannelPlay(channel.general, 1);
    noteGone(takeEvents(), told);
    EXPECT_EQ(told[channel.general], c.told);
  }
}

class FakeOutput final : public Output {
 public:
  [[nodiscard]] bool healthy() const override { return true; }
  void dropQueued() override {}
};

// A station that drops its listeners now and then and comes back: never gone. Then its server
// vanishes: gone after ten connection attempts without audio, told to both handles once.
TEST_F(GoneTest, AStationThatPlayedIsGoneAfterTenAttemptsWithoutAudioNotAfterHiccups) {
  auto server = std::make_unique<TestStreamServer>(
      std::vector<std::string>{"--file", std::string(RL_ENGINE_MEDIA_DIR) + "/tone440.mp3",
                               "--rate", "16000", "--drop-after", "24000"});
  ASSERT_NE(server->port(), 0);
  std::atomic<int> opens{0};
  EngineDeps deps;
  deps.openStream = [&](const std::string& url, std::optional<net::ByteRange> range,
                        net::Reach reach) {
    ++opens;
    net::StreamOptions options;
    options.url = url;
    options.range = range;
    options.reach = reach;
    return net::HttpStream::start(std::move(options));
  };
  deps.openOutput = [](Mixer&) { return std::make_unique<FakeOutput>(); };
  deps.plausibleUrl = [](std::string_view) { return true; };
  deps.retry = {.firstPause = 20ms, .longestPause = 100ms, .playedLongEnough = 10s};
  Engine engine(std::move(deps));
  ASSERT_TRUE(engine.init());
  const std::string url = server->url("/drops.mp3");
  const DWORD general = engine.create(url, CreationKind::General);
  const DWORD aac = engine.create(url, CreationKind::Aac);
  ASSERT_TRUE(engine.play(general, true));
  Told told;
  std::vector<float> out(2 * 1024);
  const auto renderUntil = [&](auto done, std::chrono::milliseconds timeout) {
    return waitUntil(
        [&] {
          engine.mixer().render(out.data(), 1024);  // as the output would, about in time
          noteGone(engine.takeEvents(), told);
          return done();
        },
        timeout);
  };
  // Each connection plays 1.5 s, then drops.
  EXPECT_TRUE(renderUntil([&] { return opens >= 4; }, 30s));
  EXPECT_TRUE(told.empty()) << "gone after hiccups";
  server.reset();
  const int before = opens;
  EXPECT_TRUE(renderUntil([&] { return told.size() == 2; }, 30s));
  // Ten attempts refused (nine when the server went while one was connecting, and one more may
  // have begun since).
  EXPECT_GE(opens - before, 9);
  EXPECT_LE(opens - before, 11);
  renderUntil([] { return false; }, 500ms);
  EXPECT_EQ(told[general], std::vector{StreamGone::NoAudio});
  EXPECT_EQ(told[aac], std::vector{StreamGone::NoAudio});
}

TEST_F(GoneTest, StreamPlaysOnlyForAnAnswerWithAudioAndWithinItsBounds) {
  const std::string page = std::string(::testing::TempDir()) + "/gone_page.html";
  std::ofstream(page) << "<!DOCTYPE html><html><head><title>Radio</title></head></html>\n";
  TestStreamServer html({"--status", "http11", "--content-type", "text/html", "--file", page});
  TestStreamServer silent({"--silent"});
  // Bytes 0 to 250 over and over as audio/mpeg, as fast as they are taken: no MPEG frame ever.
  TestStreamServer garbage({"--status", "http11", "--rate", "0"});
  struct Case {
    std::string url;
    bool publicOnly;
    bool plays;
  };
  for (const Case& c : std::vector<Case>{
           {servers().mp3Url(), false, true},
           {servers().aacUrl(), false, true},
           {servers().oggUrl(), false, true},
           {servers().mp3Url(), true, false},  // this machine, for a public directory's address
           {servers().mountUrl("/no-such-mount.mp3"), false, false},
           {"http://no-such-host.invalid/stream.mp3", false, false},
           {kRefused, false, false},
           {html.url("/"), false, false},
           {silent.url("/"), false, false},   // ends at the deadline
           {garbage.url("/"), false, false},  // ends at the byte bound
           {"file:///etc/passwd", false, false},
       }) {
    SCOPED_TRACE(c.url);
    const std::size_t transfers = net::HttpStream::liveTransfers();
    EXPECT_EQ(streamPlays(c.url, c.publicOnly), c.plays);
    // Its connection is cancelled at the end, whatever the answer.
    EXPECT_TRUE(waitUntil([&] { return net::HttpStream::liveTransfers() <= transfers; }, 5s));
  }
}

}  // namespace
}  // namespace radiolist::audio
