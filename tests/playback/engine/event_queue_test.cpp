// The library's event queue (one taker, many posters) and what a source's news tells its
// channels.

#include <cerrno>
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "playback/engine/channel_news.h"
#include "playback/engine/event_queue.h"

namespace radiolist::audio {
namespace {

using Kind = PlaybackEvent::Kind;
using Lines = std::vector<std::string>;

void post(EventQueue& queue, Kind kind, DWORD handle, std::string text = {}) {
  PlaybackEvent e;
  e.kind = kind;
  e.handle = handle;
  e.station = e.save.path = std::move(text);
  EventQueue::Batch batch(&queue);
  batch.post(std::move(e));
}

// "handle kind what", one a line.
Lines take(EventQueue& queue) {
  Lines out;
  for (const auto& e : queue.take()) {
    std::string line = std::to_string(e.handle);
    switch (e.kind) {
      case Kind::Title: line += " title " + (e.title ? e.title->text : "none"); break;
      case Kind::Station: line += " station " + e.station; break;
      case Kind::Shift: line += " shift " + std::to_string(e.shift.delaySeconds); break;
      case Kind::Activity: line += " activity"; break;
      case Kind::SaveEnded: line += " save " + e.save.path; break;
      case Kind::Gone:
        line += e.gone == StreamGone::NotFound     ? " gone not-found"
                : e.gone == StreamGone::NoSuchHost ? " gone no-host"
                                                   : " gone no-audio";
        break;
    }
    out.push_back(line);
  }
  return out;
}

TEST(EventQueue, ANewerEventReplacesTheOneWaitingOfItsKindAndHandleAndTheQueueStaysBounded) {
  EventQueue queue;
  post(queue, Kind::Station, 1, "a");
  post(queue, Kind::Activity, 1);
  post(queue, Kind::Station, 2, "b");
  post(queue, Kind::Station, 1, "c");
  for (int i = 0; i < 6; ++i) post(queue, Kind::SaveEnded, 0, std::to_string(i));
  // The replaced one keeps its place; of the saves the last few stay, in order.
  EXPECT_EQ(take(queue), (Lines{"1 station c", "1 activity", "2 station b", "0 save 2", "0 save 3",
                                "0 save 4", "0 save 5"}));
  EXPECT_TRUE(take(queue).empty());
  for (DWORD handle = 1; handle <= 1000; ++handle) post(queue, Kind::Activity, handle);
  const Lines bounded = take(queue);
  ASSERT_EQ(bounded.size(), EventQueue::kMaxWaiting);
  EXPECT_EQ(bounded.back(), "1000 activity") << "the oldest make room";
}

TEST(EventQueue, WakesOncePerEmptyToNotEmptyAfterTheBatchEndsAndMayBeTakenFromAtOnce) {
  EventQueue queue;
  int wakes = 0;
  Lines takenInWake;
  // The wake takes at once: it would deadlock were it called under the queue's lock.
  queue.setWake([&] {
    ++wakes;
    takenInWake = take(queue);
  });
  {
    EventQueue::Batch batch(&queue);
    PlaybackEvent e;
    batch.post(e);
    e.handle = 2;
    batch.post(e);
    EXPECT_EQ(wakes, 0) << "not before the batch (and the poster's locks) ends";
  }
  EXPECT_EQ(wakes, 1);
  EXPECT_EQ(takenInWake.size(), 2u);
  queue.setWake([&] { ++wakes; });
  post(queue, Kind::Title, 1);
  post(queue, Kind::Title, 2);  // not empty: no second wake
  EXPECT_EQ(wakes, 2);
  EXPECT_EQ(take(queue).size(), 2u);
  post(queue, Kind::Title, 1);
  EXPECT_EQ(wakes, 3);
}

// Each thread posts a rising count for its own handle while one taker drains: the taker sees each
// handle's counts rise and ends with the last, and never more than one event per handle waits.
TEST(EventQueue, ManyPostersOneTaker) {
  constexpr int kThreads = 6;
  constexpr int kPosts = 20000;
  EventQueue queue;
  std::atomic<int> wakes{0};
  queue.setWake([&] { wakes.fetch_add(1); });
  std::atomic<int> done{0};
  std::map<DWORD, long> last;
  bool rising = true;
  std::size_t most = 0;
  std::thread taker([&] {
    for (bool finished = false; !finished;) {
      finished = done.load() == kThreads;
      const auto taken = queue.take();
      most = std::max(most, taken.size());
      for (const auto& e : taken) {
        rising = rising && std::stol(e.station) > last[e.handle];
        last[e.handle] = std::stol(e.station);
      }
    }
  });
  std::vector<std::thread> posters;
  for (int t = 1; t <= kThreads; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 1; i <= kPosts; ++i) post(queue, Kind::Shift, t, std::to_string(i));
      done.fetch_add(1);
    });
  }
  for (auto& p : posters) p.join();
  taker.join();
  EXPECT_TRUE(rising);
  EXPECT_LE(most, static_cast<std::size_t>(kThreads));
  EXPECT_GE(wakes.load(), 1);
  for (int t = 1; t <= kThreads; ++t) EXPECT_EQ(last[t], kPosts) << t;
}

TEST(ChannelNews, TellsItsChannelsWhatChangedAndANewOneWhatIsKnown) {
  EventQueue queue;
  ChannelNews::Now now;  // what the source would say
  int reads = 0;
  ChannelNews news(&queue, [&](unsigned) {
    ++reads;
    return now;
  });
  const auto attach = [&](DWORD handle) {
    EventQueue::Batch batch(&queue);
    news.attach(handle, batch);
  };
  now.title = SongTitle{"A", "B", "A - B"};
  news.tell(ChannelNews::kAll);
  EXPECT_EQ(take(queue), Lines{}) << "no channel, no news";
  attach(7);
  EXPECT_EQ(take(queue), Lines{"7 title A - B"}) << "no station or shift known yet";
  now.station = "Radio";
  now.shift.canSeek = true;
  news.tell(ChannelNews::kAll);
  EXPECT_EQ(take(queue), (Lines{"7 station Radio", "7 shift 0"}));
  now.shift.positionUs = 900'000;  // the position alone is no news...
  news.tell(ChannelNews::kAll);
  EXPECT_EQ(take(queue), Lines{});
  news.tell(ChannelNews::kShift, true);  // ... unless the listener moved
  EXPECT_EQ(take(queue), Lines{"7 shift 0"});
  now.shift.delaySeconds = 3;
  now.title.reset();
  news.tell(ChannelNews::kTitle);  // only what is asked is read
  EXPECT_EQ(take(queue), Lines{"7 title none"});
  attach(8);
  EXPECT_EQ(take(queue), (Lines{"7 shift 3", "8 station Radio", "8 shift 3"}));
  news.activity();
  news.detach(7);
  now.title = SongTitle{"", "C", "C"};
  news.tell(ChannelNews::kTitle);
  EXPECT_EQ(take(queue), (Lines{"7 activity", "8 activity", "8 title C"}));
  news.detachAll();
  now.title = SongTitle{"", "D", "D"};
  news.tell(ChannelNews::kAll);
  news.activity();
  news.saveEnded(
      SongSave{SongSave::Status::CannotWrite, "/x", Outcome::cannotCreate("/x", ENOSPC)});
  EXPECT_EQ(take(queue), Lines{"0 save /x"}) << "a stopped player hears only of a save's end";
  news.close();
  const int readsBefore = reads;
  attach(9);
  news.tell(ChannelNews::kAll);
  EXPECT_EQ(reads, readsBefore) << "a source gone is read no more";
  EXPECT_EQ(take(queue), Lines{});
}

TEST(ChannelNews, TellsGoneOncePerChannelAndReasonAndAnewAfterAudio) {
  EventQueue queue;
  ChannelNews news(&queue, [](unsigned) { return ChannelNews::Now{}; });
  const auto attach = [&](DWORD handle) {
    EventQueue::Batch batch(&queue);
    news.attach(handle, batch);
  };
  news.gone(StreamGone::NotFound);
  EXPECT_EQ(take(queue), Lines{}) << "no channel, no news";
  attach(1);
  attach(2);
  EXPECT_EQ(take(queue), (Lines{"1 gone not-found", "2 gone not-found"}))
      << "a channel attached while gone is told";
  news.gone(StreamGone::NotFound);
  news.detach(2);
  attach(2);  // stopped and played again
  EXPECT_EQ(take(queue), Lines{}) << "told once per channel and reason";
  news.gone(StreamGone::NoAudio);
  EXPECT_EQ(take(queue), (Lines{"1 gone no-audio", "2 gone no-audio"}));
  news.notGone();
  attach(3);
  EXPECT_EQ(take(queue), Lines{}) << "it played again: not gone";
  news.gone(StreamGone::NoAudio);
  EXPECT_EQ(take(queue), (Lines{"1 gone no-audio", "2 gone no-audio", "3 gone no-audio"}))
      << "a later run is told again";
  // Many channels over a long life, each created, told and stopped: what is remembered stays
  // bounded, and the channels still on it are not told twice.
  for (DWORD h = 10; h < 60; ++h) {
    attach(h);
    news.detach(h);
  }
  EXPECT_EQ(take(queue).size(), 50u);
  news.gone(StreamGone::NoAudio);
  EXPECT_EQ(take(queue), Lines{});
  news.detachAll();
  news.gone(StreamGone::NoSuchHost);
  EXPECT_EQ(take(queue), Lines{}) << "a stopped player is told nothing";
  news.close();
  attach(4);
  news.gone(StreamGone::NotFound);
  EXPECT_EQ(take(queue), Lines{}) << "a source gone tells nothing";
}

}  // namespace
}  // namespace radiolist::audio
