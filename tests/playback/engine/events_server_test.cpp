// The library's events from a real stream: a station whose title changes every 1.5 s, played by
// both creations the window makes. Each change comes as one Title event per handle, the station
// is told, and a stopped player is told nothing while its source goes on receiving.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "playback/engine/shutdown.h"
#include "playback/net/test_stream_server.h"
#include "support/listening_test.h"

namespace {

using namespace std::chrono_literals;
using Kind = radiolist::PlaybackEvent::Kind;

class EventsTest : public radiolist::test::ListeningTest {
 protected:
  void TearDown() override {
    radiolist::audio::setEventWake(nullptr);
    ListeningTest::TearDown();
  }

  // Takes what waits every 50 ms for `duration`, or until `enough`.
  template <typename Enough>
  void takeFor(std::chrono::milliseconds duration, Enough enough) {
    for (const auto end = std::chrono::steady_clock::now() + duration;
         !enough() && std::chrono::steady_clock::now() < end;) {
      std::this_thread::sleep_for(50ms);
      for (auto& e : radiolist::audio::takeEvents()) seen_.push_back(std::move(e));
    }
  }
  // What `handle` was told of `kind`, in order.
  std::vector<std::string> told(Kind kind, HSTREAM handle) const {
    std::vector<std::string> out;
    for (const auto& e : seen_) {
      if (e.kind == kind && e.handle == handle)
        out.push_back(kind == Kind::Station ? e.station : e.title ? e.title->text : "");
    }
    return out;
  }

  std::vector<radiolist::PlaybackEvent> seen_;
};

TEST_F(EventsTest, EachTitleChangeIsToldOnceToEachHandleAndNothingWhileStopped) {
  std::atomic<int> wakes{0};
  radiolist::audio::setEventWake([&] { wakes.fetch_add(1); });
  radiolist::test::TestStreamServer server(
      {"--file", std::string(RL_ENGINE_MEDIA_DIR) + "/tone440.mp3", "--metaint", "4000", "--title",
       "A - One", "--title", "B - Two", "--title-interval", "1.5", "--rate", "16000", "--header",
       "icy-name: Events FM"});
  ASSERT_NE(server.port(), 0);
  const auto channel = radiolist::test::startLikeTheWindow(server.url("/events.mp3"));
  ASSERT_TRUE(hears(440));
  takeFor(20s, [&] {
    return told(Kind::Title, channel.general).size() >= 4 &&
           told(Kind::Title, channel.aac).size() >= 4;
  });
  EXPECT_GT(wakes.load(), 0);
  for (const HSTREAM h : {channel.general, channel.aac}) {
    // Three changes at least, each told once: never the same title twice in a row.
    const auto titles = told(Kind::Title, h);
    ASSERT_GE(titles.size(), 4u);
    for (std::size_t i = 1; i < titles.size(); ++i) {
      EXPECT_NE(titles[i], titles[i - 1]);
      EXPECT_TRUE(titles[i] == "A - One" || titles[i] == "B - Two") << titles[i];
    }
    EXPECT_EQ(told(Kind::Station, h), std::vector<std::string>{"Events FM"});
  }
  EXPECT_EQ(radiolist::audio::channelTitle(channel.general)->text,
            told(Kind::Title, channel.general).back());

  // Stopped: the stops' own news, then nothing, though the source goes on receiving (its title
  // changing twice) until it is closed.
  BASS_ChannelStop(channel.general);
  BASS_ChannelStop(channel.aac);
  takeFor(200ms, [] { return false; });
  const std::size_t before = seen_.size();
  const int wakesBefore = wakes.load();
  takeFor(3500ms, [] { return false; });
  EXPECT_EQ(seen_.size(), before) << "told while stopped";
  EXPECT_EQ(wakes.load(), wakesBefore);
}

}  // namespace
