// The player core follows the library's events: what they tell of the window's current streams
// reaches NowPlaying as soon as the event loop turns, with no tick of the window's; what they tell
// of other streams is dropped; a failed save is told once; a wake after the core went does nothing.

#include <cerrno>
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSignalSpy>
#include <memory>
#include <thread>

#include "app/core/player.h"
#include "tests/app/recording_audio.h"

using namespace radiolist;

namespace {

class StandInWindow final : public PlayerWindow {
 public:
  ChannelView view;
  int starts = 0;
  [[nodiscard]] ChannelView channelView() const override { return view; }
  void startOrStop() override {}
  void start() override { ++starts; }
  void stop() override {}
  void stepChannel(int) override {}
  [[nodiscard]] QList<ListedStation> stations() const override { return {}; }
  void addStations(const QList<ListedStation>&,
                   std::function<void(const StationsAdded&)>) override {}
  void playAddress(const QString&) override {}
  bool replaceAddress(int, const QString&, const QString&,
                      std::function<void(const Outcome&)>) override {
    return false;
  }
};

PlaybackEvent event(PlaybackEvent::Kind kind, DWORD handle) {
  PlaybackEvent e;
  e.kind = kind;
  e.handle = handle;
  return e;
}

PlaybackEvent titled(DWORD handle, std::optional<SongTitle> title) {
  PlaybackEvent e = event(PlaybackEvent::Kind::Title, handle);
  e.title = std::move(title);
  return e;
}

TEST(PlayerCore, EventsOfTheCurrentStreamsReachNowPlayingAtOnce) {
  RecordingAudio audio;
  RecordingControls controls(audio);
  StandInWindow window;
  window.view = {
      .channel = 0, .channels = 2, .channelName = "One", .station = {}, .general = 7, .aac = 8};
  Player player(controls);
  player.attachWindow(&window);
  player.windowChanged();
  const NowPlaying& now = player.nowPlaying();
  QSignalSpy titles(&now, &NowPlaying::titleChanged);
  QSignalSpy saves(&now, &NowPlaying::saveFailed);
  const auto turn = [] { QCoreApplication::processEvents(); };

  const SongTitle song{"A", "B", "A - B"};
  ShiftState behind{.paused = true, .canSeek = true, .delaySeconds = 12};
  PlaybackEvent shift = event(PlaybackEvent::Kind::Shift, 8);
  shift.shift = behind;
  window.view.active = true;  // the AAC stream sounds, and says where it stands
  controls.post(titled(9, SongTitle{"", "stale", "stale"}));  // a stream no longer the channel's
  controls.post(titled(8, song));
  controls.post(shift);
  turn();
  EXPECT_EQ(titles.count(), 1);
  EXPECT_EQ(now.now().title, song);
  EXPECT_EQ(now.now().station, "One") << "no icy-name: the channel's name";
  EXPECT_EQ(now.now().state, OnAir::State::Paused);
  EXPECT_EQ(now.now().delay, 12u);
  EXPECT_TRUE(now.now().canSeek);

  // The station the library names arrives with the title it belongs to, in one turn.
  PlaybackEvent station = event(PlaybackEvent::Kind::Station, 8);
  station.station = "Radio Eins";
  controls.post(station);
  controls.post(titled(8, SongTitle{"", "C", "C"}));
  QSignalSpy stations(&now, &NowPlaying::stationChanged);
  turn();
  EXPECT_EQ(now.now().station, "Radio Eins");
  EXPECT_EQ(stations.count(), 1);

  // The station says no title any more; a save fails; the stream ends (no past to move in).
  PlaybackEvent failed = event(PlaybackEvent::Kind::SaveEnded, 0);
  failed.save = {SongSave::Status::CannotWrite, "/music/a.mp3",
                 Outcome::cannotCreate("/music/a.mp3", ENOSPC)};
  controls.post(titled(8, std::nullopt));
  controls.post(failed);
  controls.post(event(PlaybackEvent::Kind::Activity, 8));
  window.view.active = false;
  turn();
  EXPECT_EQ(titles.count(), 3);
  EXPECT_FALSE(now.now().title);
  ASSERT_EQ(saves.count(), 1);
  EXPECT_EQ(saves.at(0).at(0).value<SongSave>().path, "/music/a.mp3");
  EXPECT_EQ(now.now().state, OnAir::State::Stopped);
  EXPECT_FALSE(now.now().canSeek) << "re-read on the stream's activity";

  // A new creation: the old handle's title is not the new stream's.
  controls.post(titled(7, song));
  turn();
  EXPECT_EQ(now.now().title, song);
  window.view.general = 17;
  window.view.aac = 18;
  player.windowChanged();
  EXPECT_FALSE(now.now().title);
  turn();
  EXPECT_EQ(saves.count(), 1) << "a save failure is told once";
}

// The library posts from its own threads; the core takes the events on its own.
TEST(PlayerCore, EventsPostedFromAnotherThreadAreTakenOnTheCoresThread) {
  RecordingAudio audio;
  RecordingControls controls(audio);
  StandInWindow window;
  window.view.general = 7;
  Player player(controls);
  player.attachWindow(&window);
  QSignalSpy titles(&player.nowPlaying(), &NowPlaying::titleChanged);
  std::thread library([&] {
    for (int i = 0; i < 100; ++i)
      controls.post(titled(7, SongTitle{"", std::to_string(i), std::to_string(i)}));
  });
  library.join();
  for (int i = 0; i < 100 && titles.isEmpty(); ++i) QCoreApplication::processEvents();
  ASSERT_FALSE(titles.isEmpty());
  EXPECT_EQ(player.nowPlaying().now().title->text, "99") << "the latest wins";
}

TEST(PlayerCore, PlayStartsAStoppedChannelAndAWakeAfterTheCoreWentDoesNothing) {
  RecordingAudio audio;
  RecordingControls controls(audio);
  StandInWindow window;
  auto player = std::make_unique<Player>(controls);
  player->play();  // no window yet: nothing to ask
  player->attachWindow(&window);
  player->play();
  EXPECT_EQ(window.starts, 1);
  player.reset();
  controls.post(titled(7, SongTitle{"", "late", "late"}));
  QCoreApplication::processEvents();  // the queued drain finds no core
  EXPECT_EQ(controls.TakeEvents().size(), 1u) << "nobody took it";
}

}  // namespace
