// Pausing live radio and moving in its past, as the desktop side asks the window: each request
// goes to the stream that sounds (here the AAC one), Play after a pause plays on instead of
// starting anew, an offset past live goes live, and the media controls and the tray show the
// pause, the delay and what may be done.

#include <QAction>
#include <QMenu>
#include <functional>

#include "app/desktop/companion.h"
#include "app/desktop/mpris.h"
#include "app/window/globals.h"
#include "app/core/player.h"
#include "tests/app/window_fixture.h"

using namespace radiolist;

namespace {

class TimeShiftTest : public WindowTest {
 protected:
  // The library's answers for the sounding stream, then what the window's tick tells.
  void standAt(const ShiftState& shift) {
    controls.shifts[AacStreamHandle] = shift;
    form->publishNowPlaying();
    audio.clear();
  }
  // The time-shift calls made since standAt, as the stand-in records them.
  std::vector<std::string> shiftCalls() const {
    std::vector<std::string> out;
    for (const std::string& call : audio.calls)
      if (call.starts_with("Pause ") || call.starts_with("Seek ")) out.push_back(call);
    return out;
  }
};

TEST_F(TimeShiftTest, RequestsGoToTheSoundingStreamAndPastLiveIsLive) {
  writeLists({"One"}, {"http://127.0.0.1:9/one"});
  writeGlyphs();
  startAndSettle();
  Player& core = *player;
  audio.active[StreamHandle] = audio.active[AacStreamHandle] = BASS_ACTIVE_PLAYING;
  const std::string aac = "A:http://127.0.0.1:9/one";
  const ShiftState live{.canSeek = true, .positionUs = 60'000'000, .liveUs = 60'000'000};
  const ShiftState behind{.behind = true,
                          .canSeek = true,
                          .positionUs = 40'000'000,
                          .liveUs = 60'000'000,
                          .delaySeconds = 20};
  ShiftState paused = behind;
  paused.paused = true;
  const struct {
    const char* what;
    ShiftState at;
    std::function<void(Player&)> ask;
    std::vector<std::string> calls;
  } cases[] = {
      {"PlayPause pauses", live, [](auto& w) { w.playPause(); }, {"Pause " + aac + " on"}},
      {"PlayPause plays on", paused, [](auto& w) { w.playPause(); }, {"Pause " + aac + " off"}},
      {"Play plays on", paused, [](auto& w) { w.play(); }, {"Pause " + aac + " off"}},
      {"Pause", live, [](auto& w) { w.pause(); }, {"Pause " + aac + " on"}},
      {"Back 30 s", live, [](auto& w) { w.seekBy(-30'000'000); }, {"Seek " + aac + " 30000000"}},
      {"forward within the past",
       behind,
       [](auto& w) { w.seekBy(5'000'000); },
       {"Seek " + aac + " 45000000"}},
      {"forward past live",
       behind,
       [](auto& w) { w.seekBy(21'000'000); },
       {"Seek " + aac + " live"}},
      {"an offset that would overflow",
       behind,
       [](auto& w) { w.seekBy(std::numeric_limits<std::int64_t>::max()); },
       {"Seek " + aac + " live"}},
      {"Go live", behind, [](auto& w) { w.goLive(); }, {"Seek " + aac + " live"}},
  };
  for (const auto& c : cases) {
    standAt(c.at);
    c.ask(core);
    EXPECT_EQ(shiftCalls(), c.calls) << c.what;
  }
  // Play while it plays leaves what is heard alone (no restart, which would go live).
  standAt(behind);
  core.play();
  EXPECT_TRUE(audio.calls.empty());
  // Still connecting (no stream sounds yet): PlayPause stops, as the button would.
  controls.shifts.clear();
  form->publishNowPlaying();
  audio.clear();
  core.playPause();
  EXPECT_NE(std::find(audio.calls.begin(), audio.calls.end(), "Stop " + aac), audio.calls.end());

  // Stopped (the library plays nothing): Play and PlayPause start the channel as START does.
  controls.shifts.clear();
  audio.active.clear();
  form->publishNowPlaying();
  audio.clear();
  core.playPause();
  EXPECT_TRUE(shiftCalls().empty());
  EXPECT_NE(std::find(audio.calls.begin(), audio.calls.end(), "Create " + aac), audio.calls.end());
}

TEST_F(TimeShiftTest, TheMediaControlsAndTheTrayShowThePauseAndTheDelay) {
  writeLists({"One"}, {"http://127.0.0.1:9/one"});
  writeGlyphs();
  startAndSettle();
  Companion companion(*player, form->control(), path("titles.tsv"));
  MprisService media(*player, form->control(),
                     QStringLiteral("org.mpris.MediaPlayer2.radiolist.test"));
  QAction* pause = companion.menu()->actions().at(0);
  QAction* back = companion.menu()->actions().at(1);
  QAction* live = companion.menu()->actions().at(2);
  EXPECT_FALSE(pause->isEnabled()) << "nothing plays";

  audio.active[AacStreamHandle] = BASS_ACTIVE_PLAYING;
  standAt({.canSeek = true, .positionUs = 9'000'000, .liveUs = 9'000'000});
  EXPECT_EQ(media.state().playbackStatus, "Playing");
  EXPECT_TRUE(media.state().canSeek);
  EXPECT_EQ(media.position(), 9'000'000);
  EXPECT_TRUE(pause->isEnabled());
  EXPECT_FALSE(pause->isChecked());
  EXPECT_TRUE(back->isEnabled());
  EXPECT_FALSE(live->isEnabled()) << "live already";
  EXPECT_EQ(companion.delay(), 0u);

  standAt({.paused = true,
           .behind = true,
           .canSeek = true,
           .positionUs = 9'000'000,
           .liveUs = 29'000'000,
           .delaySeconds = 20});
  EXPECT_EQ(media.state().playbackStatus, "Paused");
  EXPECT_TRUE(pause->isChecked());
  EXPECT_TRUE(live->isEnabled());
  EXPECT_EQ(companion.delay(), 20u);
  // The tray's items ask the window: Pause unchecked plays on, Go live goes live.
  pause->trigger();
  live->trigger();
  back->trigger();
  EXPECT_EQ(shiftCalls(), (std::vector<std::string>{"Pause A:http://127.0.0.1:9/one off",
                                                    "Seek A:http://127.0.0.1:9/one live",
                                                    "Seek A:http://127.0.0.1:9/one -21000000"}));

  audio.active.clear();
  controls.shifts.clear();
  form->publishNowPlaying();
  EXPECT_EQ(media.state().playbackStatus, "Stopped");
  EXPECT_FALSE(media.state().canSeek);
  EXPECT_FALSE(pause->isEnabled());
  EXPECT_FALSE(live->isEnabled());
}

}  // namespace
