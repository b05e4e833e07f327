// The desktop side follows what the window sees through NowPlaying: the library's structured
// title reaches the titles log, the tooltip and the media controls whole, while the window's
// label keeps its own cut; a change is told at once, and only a change.

#include <QSignalSpy>
#include <QTest>

#include "app/desktop/companion.h"
#include "app/desktop/mpris.h"
#include "app/window/globals.h"
#include "app/core/player.h"
#include "tests/app/window_fixture.h"

using namespace radiolist;

namespace {

TEST(NowPlaying, SignalsOnlyWhatChanged) {
  NowPlaying model;
  QSignalSpy channel(&model, &NowPlaying::channelChanged);
  QSignalSpy station(&model, &NowPlaying::stationChanged);
  QSignalSpy title(&model, &NowPlaying::titleChanged);
  QSignalSpy state(&model, &NowPlaying::stateChanged);
  const auto counts = [&] {
    return std::vector<qsizetype>{channel.count(), station.count(), title.count(), state.count()};
  };
  OnAir now{.channel = 0, .channels = 2, .channelName = "One", .station = "One", .title = {}};
  model.update(now);
  EXPECT_EQ(counts(), (std::vector<qsizetype>{1, 1, 0, 0}));
  model.update(now);
  EXPECT_EQ(counts(), (std::vector<qsizetype>{1, 1, 0, 0})) << "the same again tells nothing";
  now.title = SongTitle{"A", "B", "A - B"};
  now.state = OnAir::State::Playing;
  model.update(now);
  EXPECT_EQ(counts(), (std::vector<qsizetype>{1, 1, 1, 1}));
  now.title->artist = "a";  // another parse of the same text is another title
  now.channels = 3;
  model.update(now);
  EXPECT_EQ(counts(), (std::vector<qsizetype>{2, 1, 2, 1}));
}

class NowPlayingTest : public WindowTest {};

TEST_F(NowPlayingTest, TheDesktopSideShowsTheWholeTitleAndFollowsAStopAtOnce) {
  writeLists({"One", "Two"}, {"http://127.0.0.1:9/one", "http://127.0.0.1:9/two"});
  writeGlyphs();
  startAndSettle();
  Companion companion(*player, form->control(), path("titles.tsv"));
  MprisService media(*player, form->control(),
                     QStringLiteral("org.mpris.MediaPlayer2.radiolist.test"));

  audio.active[StreamHandle] = BASS_ACTIVE_PLAYING;
  audio.tags[{StreamHandle, BASS_TAG_META}] = std::string("StreamTitle='Rock;Roll';\0", 26);
  // The library tells the title as it arrives; the core hears of it with no tick of the window's.
  form->Timer1->stop();
  form->Timer3->stop();
  PlaybackEvent titled;
  titled.kind = PlaybackEvent::Kind::Title;
  titled.handle = StreamHandle;
  titled.title = SongTitle{"", "Rock;Roll", "Rock;Roll"};
  controls.post(titled);
  ASSERT_TRUE(waitUntil([&] { return !companion.titles().newest(1).isEmpty(); }));
  EXPECT_EQ(companion.titles().newest(1).front().title, "Rock;Roll");
  EXPECT_EQ(companion.titles().newest(1).front().station, "One");
  EXPECT_TRUE(companion.toolTip().contains("\nRock;Roll")) << companion.toolTip().toStdString();
  EXPECT_EQ(media.state().metadata.value("xesam:title").toString(), "Rock;Roll");
  EXPECT_EQ(media.state().playbackStatus, "Playing");
  EXPECT_EQ(media.state().canGoNext, true);
  form->Timer3Timer(form->Timer3);
  EXPECT_EQ(form->Label2->text(), "Roc") << "the window's label keeps its cut, on its tick";

  // A stop through the media controls is told when it has run, not at a tick of the window's.
  audio.active.clear();
  media.later([this] { player->stop(); });
  EXPECT_TRUE(waitUntil([&] { return media.state().playbackStatus == "Stopped"; }, 2000));
}

}  // namespace
