// The library's event queue (one taker, many posters) and what a source's news tells its
// channels.

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "playback/engine/channel_news.h"
#include "playback/engine/event_queue.h"

namespace radiolist::audio {
namespace {

using Kind = PlaybackEvent::Kind;

PlaybackEvent event(Kind kind, DWORD handle, std::string station = {}) {
  PlaybackEvent e;
  e.kind = kind;
  e.handle = handle;
  e.station = std::move(station);
  return e;
}

void post(EventQueue& queue, PlaybackEvent e) {
  EventQueue::Batch batch(&queue);
  batch.post(std::move(e));
}

TEST(EventQueue, ANewerEventReplacesTheOneWaitingOfItsKindAndHandle) {
  EventQueue queue;
  post(queue, event(Kind::Station, 1, "a"));
  post(queue, event(Kind::Title, 1, "first"));
  post(queue, event(Kind::Station, 2, "b"));
  post(queue, event(Kind::Station, 1, "c"));
  for (int i = 0; i < 6; ++i) {
    PlaybackEvent save = event(Kind::SaveEnded, 0);
    save.save.path = std::to_string(i);
    post(queue, std::move(save));
  }
  const auto taken = queue.take();
  std::vector<std::string> seen;
  for (const auto& e : taken)
    seen.push_back(std::to_string(static_cast<int>(e.kind)) + "/" + std::to_string(e.handle) +
                   "/" + e.station + e.save.path);
  const std::string station = std::to_string(static_cast<int>(Kind::Station));
  const std::string title = std::to_string(static_cast<int>(Kind::Title));
  const std::string save = std::to_string(static_cast<int>(Kind::SaveEnded));
  // The replaced one keeps its place; of the saves the last few stay, in order.
  EXPECT_EQ(seen, (std::vector<std::string>{station + "/1/c", title + "/1/first", station + "/2/b",
                                            save + "/0/2", save + "/0/3", save + "/0/4",
                                            save + "/0/5"}));
  EXPECT_TRUE(queue.take().empty());
}

TEST(EventQueue, StaysBoundedWhateverIsPostedAndKeepsTheNewest) {
  EventQueue queue;
  for (DWORD handle = 1; handle <= 1000; ++handle) post(queue, event(Kind::Activity, handle));
  const auto taken = queue.take();
  ASSERT_EQ(taken.size(), EventQueue::kMaxWaiting);
  EXPECT_EQ(taken.back().handle, 1000u);
  EXPECT_EQ(taken.front().handle, 1000u - EventQueue::kMaxWaiting + 1);
}

TEST(EventQueue, WakesOncePerEmptyToNotEmptyAfterTheBatchEndsAndMayBeTakenFromAtOnce) {
  EventQueue queue;
  int wakes = 0;
  std::vector<PlaybackEvent> takenInWake;
  // The wake takes at once: it would deadlock if it were called under the queue's lock.
  queue.setWake([&] {
    ++wakes;
    for (auto& e : queue.take()) takenInWake.push_back(std::move(e));
  });
  {
    EventQueue::Batch batch(&queue);
    batch.post(event(Kind::Title, 1));
    batch.post(event(Kind::Station, 1));
    EXPECT_EQ(wakes, 0) << "not before the batch (and the caller's locks) ends";
  }
  EXPECT_EQ(wakes, 1);
  EXPECT_EQ(takenInWake.size(), 2u);
  queue.setWake([&] { ++wakes; });
  post(queue, event(Kind::Title, 1));
  post(queue, event(Kind::Title, 2));  // not empty: no second wake
  EXPECT_EQ(wakes, 2);
  EXPECT_EQ(queue.take().size(), 2u);
  post(queue, event(Kind::Title, 1));
  EXPECT_EQ(wakes, 3);
  EventQueue::Batch nobody(nullptr);
  nobody.post(event(Kind::Title, 9));  // a source the engine gave no queue tells nobody
}

// Each thread posts a rising count for its own handle while one taker drains on wake: the taker
// sees each handle's counts rise and ends with the last, and the queue never holds more than one
// event per handle.
TEST(EventQueue, ManyPostersOneTaker) {
  constexpr int kThreads = 6;
  constexpr int kPosts = 20000;
  EventQueue queue;
  std::mutex mutex;
  std::condition_variable woken;
  bool pending = false;
  queue.setWake([&] {
    {
      const std::lock_guard lock(mutex);
      pending = true;
    }
    woken.notify_one();
  });
  std::atomic<int> done{0};
  std::map<DWORD, long> last;
  bool rising = true;
  std::size_t most = 0;
  std::thread taker([&] {
    for (;;) {
      const bool finished = done.load() == kThreads;
      {
        std::unique_lock lock(mutex);
        woken.wait_for(lock, std::chrono::milliseconds(20), [&] { return pending; });
        pending = false;
      }
      const auto taken = queue.take();
      most = std::max(most, taken.size());
      for (const auto& e : taken) {
        const long count = std::stol(e.station);
        rising = rising && count > last[e.handle];
        last[e.handle] = count;
      }
      if (finished) return;
    }
  });
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 1; i <= kPosts; ++i)
        post(queue, event(Kind::Shift, static_cast<DWORD>(t + 1), std::to_string(i)));
      ++done;
    });
  }
  for (auto& p : posters) p.join();
  taker.join();
  EXPECT_TRUE(rising);
  EXPECT_LE(most, static_cast<std::size_t>(kThreads));
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(last[static_cast<DWORD>(t + 1)], kPosts) << t;
}

// A source's news, with what the source would say given by hand.
struct NewsFixture {
  EventQueue queue;
  std::mutex mutex;
  ChannelNews::Now now;
  int reads = 0;
  ChannelNews news{&queue, [this](unsigned) {
                     const std::lock_guard lock(mutex);
                     ++reads;
                     return now;
                   }};
  std::vector<std::string> take() {
    std::vector<std::string> out;
    for (const auto& e : queue.take()) {
      std::string line = std::to_string(e.handle) + " ";
      switch (e.kind) {
        case Kind::Title: line += "title " + (e.title ? e.title->text : "none"); break;
        case Kind::Station: line += "station " + e.station; break;
        case Kind::Shift: line += "shift " + std::to_string(e.shift.delaySeconds); break;
        case Kind::Activity: line += "activity"; break;
        case Kind::SaveEnded: line += "save " + e.save.path; break;
      }
      out.push_back(line);
    }
    return out;
  }
};

TEST(ChannelNews, TellsItsChannelsWhatChangedAndANewOneWhatIsKnown) {
  using V = std::vector<std::string>;
  NewsFixture f;
  f.now.title = SongTitle{"A", "B", "A - B"};
  f.news.tell(ChannelNews::kAll);
  EXPECT_EQ(f.take(), V{}) << "no channel, no news";
  {
    EventQueue::Batch batch(&f.queue);
    f.news.attach(7, batch);
  }
  EXPECT_EQ(f.take(), V{"7 title A - B"}) << "no station or shift known yet";
  f.now.station = "Radio";
  f.now.shift.canSeek = true;
  f.now.shift.positionUs = 5;
  f.news.tell(ChannelNews::kAll);
  EXPECT_EQ(f.take(), (V{"7 station Radio", "7 shift 0"}));
  f.now.shift.positionUs = 900'000;  // the position alone is no news
  f.news.tell(ChannelNews::kAll);
  EXPECT_EQ(f.take(), V{});
  f.news.tell(ChannelNews::kShift, true);  // ... unless the listener moved
  EXPECT_EQ(f.take(), V{"7 shift 0"});
  f.now.shift.delaySeconds = 3;
  f.now.title.reset();
  f.news.tell(ChannelNews::kTitle);  // only what is asked is read
  EXPECT_EQ(f.take(), V{"7 title none"});
  {
    EventQueue::Batch batch(&f.queue);
    f.news.attach(8, batch);
  }
  EXPECT_EQ(f.take(), (V{"7 shift 3", "8 station Radio", "8 shift 3"}));
  f.news.activity();
  EXPECT_EQ(f.take(), (V{"7 activity", "8 activity"}));
  f.news.detach(7);
  f.now.title = SongTitle{"", "C", "C"};
  f.news.tell(ChannelNews::kTitle);
  EXPECT_EQ(f.take(), V{"8 title C"});
  f.news.detachAll();
  f.now.title = SongTitle{"", "D", "D"};
  f.news.tell(ChannelNews::kAll);
  f.news.activity();
  EXPECT_EQ(f.take(), V{}) << "a stopped player is told nothing";
  f.news.saveEnded(SongSave{SongSave::Status::CannotWrite, "/x", "full"});
  EXPECT_EQ(f.take(), V{"0 save /x"}) << "a save's end is told whoever listens";
  {
    EventQueue::Batch batch(&f.queue);
    f.news.attach(9, batch);
  }
  f.news.close();
  const int reads = f.reads;
  f.now.title = SongTitle{"", "E", "E"};
  f.news.tell(ChannelNews::kAll);
  EventQueue::Batch batch(&f.queue);
  f.news.attach(10, batch);
  EXPECT_EQ(f.reads, reads) << "a closed source is read no more";
  EXPECT_EQ(f.take(), (V{"9 title D", "9 station Radio", "9 shift 3"}));
}

}  // namespace
}  // namespace radiolist::audio
