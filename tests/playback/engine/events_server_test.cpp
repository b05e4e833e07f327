// The library's events from a real stream: a station whose title changes every 1.5 s, played by
// both creations the window makes, heard at the null sink. Each change comes as one Title event
// per handle, the station and the activity are told, pausing is told with the delay it grows,
// and a stopped player is told nothing while its source goes on receiving.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "playback/engine/shutdown.h"
#include "playback/net/test_stream_server.h"
#include "support/listening_test.h"

namespace {

using namespace std::chrono_literals;
using radiolist::PlaybackEvent;
using Kind = radiolist::PlaybackEvent::Kind;
using radiolist::test::TestStreamServer;

class EventsTest : public radiolist::test::ListeningTest {
 protected:
  void SetUp() override {
    ListeningTest::SetUp();
    radiolist::audio::setEventWake([this] {
      {
        const std::lock_guard lock(mutex_);
        ++wakes_;
      }
      woken_.notify_all();
    });
  }
  void TearDown() override {
    radiolist::audio::setEventWake(nullptr);
    ListeningTest::TearDown();
  }

  // Takes events on each wake until `done` says so or `timeout` passes; true when it did.
  template <typename Done>
  bool takeUntil(std::chrono::milliseconds timeout, Done done) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto taken = radiolist::audio::takeEvents();
      // At most one event waits per kind and handle.
      for (std::size_t i = 0; i < taken.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j)
          EXPECT_FALSE(taken[i].kind == taken[j].kind && taken[i].handle == taken[j].handle);
      }
      seen_.insert(seen_.end(), taken.begin(), taken.end());
      if (done()) return true;
      std::unique_lock lock(mutex_);
      if (woken_.wait_until(lock, deadline, [&] { return wakes_ != wakesSeen_; }))
        wakesSeen_ = wakes_;
      else if (std::chrono::steady_clock::now() >= deadline)
        return done();
    }
  }

  // The titles told to `handle`, in order.
  std::vector<std::string> titles(HSTREAM handle) const {
    std::vector<std::string> out;
    for (const auto& e : seen_) {
      if (e.kind == Kind::Title && e.handle == handle) out.push_back(e.title ? e.title->text : "");
    }
    return out;
  }
  std::size_t count(Kind kind, HSTREAM handle) const {
    return static_cast<std::size_t>(std::count_if(seen_.begin(), seen_.end(), [&](const auto& e) {
      return e.kind == kind && e.handle == handle;
    }));
  }
  int wakes() {
    const std::lock_guard lock(mutex_);
    return wakes_;
  }

  std::vector<PlaybackEvent> seen_;

 private:
  std::mutex mutex_;
  std::condition_variable woken_;
  int wakes_ = 0;
  int wakesSeen_ = 0;
};

TEST_F(EventsTest, TitlesStationShiftAndActivityAreToldEachChannelAndNothingWhileStopped) {
  TestStreamServer server({"--file", std::string(RL_ENGINE_MEDIA_DIR) + "/tone440.mp3",
                           "--status", "icy", "--metaint", "4000", "--title", "A - One", "--title",
                           "B - Two", "--title-interval", "1.5", "--rate", "16000", "--header",
                           "icy-name: Events FM"});
  ASSERT_NE(server.port(), 0);
  const auto channel = radiolist::test::startLikeTheWindow(server.url("/events.mp3"));
  ASSERT_TRUE(hears(440));
  const HSTREAM handles[] = {channel.general, channel.aac};

  // Three changes of the title, each told once to each handle on the one source.
  const bool changed = takeUntil(20s, [&] {
    return titles(channel.general).size() >= 4 && titles(channel.aac).size() >= 4;
  });
  ASSERT_TRUE(changed) << titles(channel.general).size() << " titles";
  for (const HSTREAM h : handles) {
    const auto told = titles(h);
    for (std::size_t i = 1; i < told.size(); ++i) {
      EXPECT_NE(told[i], told[i - 1]) << "a title told twice";
      EXPECT_TRUE(told[i] == "A - One" || told[i] == "B - Two") << told[i];
    }
    const auto station = std::find_if(seen_.begin(), seen_.end(), [&](const auto& e) {
      return e.kind == Kind::Station && e.handle == h;
    });
    ASSERT_NE(station, seen_.end());
    EXPECT_EQ(station->station, "Events FM");
  }
  EXPECT_GE(count(Kind::Activity, channel.general), 1u);
  // The title told is the one the tag call parses.
  EXPECT_EQ(radiolist::audio::channelTitle(channel.general)->text, titles(channel.general).back());

  // Paused: told at once, then the delay as it grows whole second by whole second.
  ASSERT_TRUE(radiolist::audio::channelPause(channel.general, true));
  const bool delayed = takeUntil(10s, [&] {
    return std::any_of(seen_.begin(), seen_.end(), [&](const auto& e) {
      return e.kind == Kind::Shift && e.handle == channel.general && e.shift.paused &&
             e.shift.delaySeconds >= 2;
    });
  });
  EXPECT_TRUE(delayed);
  ASSERT_TRUE(radiolist::audio::channelSeek(channel.general,
                                            radiolist::PlaybackControls::kLive));
  ASSERT_TRUE(radiolist::audio::channelPause(channel.general, false));
  const bool live = takeUntil(10s, [&] {
    return !seen_.empty() && seen_.back().kind == Kind::Shift && !seen_.back().shift.paused;
  });
  EXPECT_TRUE(live);

  // Stopped: the stops' own news, then nothing, though the source goes on receiving (and its
  // title changing) until it is closed.
  BASS_ChannelStop(channel.general);
  BASS_ChannelStop(channel.aac);
  takeUntil(200ms, [] { return false; });
  const std::size_t before = seen_.size();
  const int wakesBefore = wakes();
  takeUntil(3500ms, [] { return false; });
  EXPECT_EQ(seen_.size(), before) << "told while stopped";
  EXPECT_EQ(wakes(), wakesBefore);
}

}  // namespace
