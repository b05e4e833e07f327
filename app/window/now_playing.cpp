#include "app/window/now_playing.h"

#include <QIcon>
#include <utility>

#include "app/window/globals.h"
#include "app/window/unit1.h"
#include "app/window/vcl.h"
#include "playback/audio_library.h"

namespace radiolist {

NowPlaying::NowPlaying(QObject* parent) : QObject(parent) {}

void NowPlaying::update(OnAir now) {
  uiThread_.check();
  if (now == now_) return;
  const OnAir before = std::exchange(now_, std::move(now));
  // Every value is in place before the first signal: a listener may read all of them.
  if (before.channel != now_.channel || before.channels != now_.channels ||
      before.channelName != now_.channelName)
    emit channelChanged();
  if (before.station != now_.station) emit stationChanged();
  if (before.title != now_.title) emit titleChanged();
  if (before.state != now_.state) emit stateChanged();
  if (before.delay != now_.delay || before.canSeek != now_.canSeek) emit shiftChanged();
}

void NowPlaying::reportJump() {
  uiThread_.check();
  emit positionJumped();
}

void NowPlaying::reportSaveFailure(const SongSave& failure) {
  uiThread_.check();
  emit saveFailed(failure);
}

WindowControl::WindowControl(TForm1& form) : form_(form) {}

NowPlaying& WindowControl::nowPlaying() const { return form_.nowPlaying(); }

AudioLibrary& WindowControl::audio() const { return form_.audio(); }

QIcon WindowControl::icon() const { return form_.windowIcon(); }

void WindowControl::startOrStop() {
  guarded([&] { form_.SpeedButton2Click(form_.SpeedButton2); });
  form_.publishNowPlaying();
}

void WindowControl::start() {
  guarded([&] { form_.StartPress(); });
  form_.publishNowPlaying();
}

void WindowControl::stop() {
  guarded([&] { form_.StopPress(); });
  form_.publishNowPlaying();
}

std::uint32_t WindowControl::soundingHandle() const {
  for (const HSTREAM handle : {StreamHandle, AacStreamHandle}) {
    if (handle != 0 && audio().ChannelGetShift(handle)) return handle;
  }
  return 0;
}

std::optional<ShiftState> WindowControl::shift() const {
  const auto handle = static_cast<HSTREAM>(soundingHandle());
  return handle != 0 ? audio().ChannelGetShift(handle) : std::nullopt;
}

void WindowControl::pause() {
  if (const auto handle = static_cast<HSTREAM>(soundingHandle()))
    audio().ChannelPause(handle, true);
  form_.publishNowPlaying();
}

void WindowControl::play() {
  const auto handle = static_cast<HSTREAM>(soundingHandle());
  const std::optional<ShiftState> now = shift();
  if (handle != 0 && now && now->paused) {
    audio().ChannelPause(handle, false);
    form_.publishNowPlaying();
  } else if (nowPlaying().now().state == OnAir::State::Stopped) {
    start();
  }  // playing already: nothing, which keeps what is heard where it is
}

void WindowControl::playPause() {
  if (nowPlaying().now().state != OnAir::State::Playing)
    play();
  else if (shift())
    pause();
  else
    stop();  // still connecting, nothing to pause yet: as the button would
}

void WindowControl::seekTo(std::int64_t us) {
  const auto handle = static_cast<HSTREAM>(soundingHandle());
  if (handle == 0 || !audio().ChannelSeek(handle, us)) return;
  form_.publishNowPlaying();
  nowPlaying().reportJump();
}

void WindowControl::seekBy(std::int64_t us) {
  const std::optional<ShiftState> now = shift();
  if (!now) return;
  // Forward past live is live: an offset cannot overflow the clock into the past.
  const std::int64_t target =
      us >= now->liveUs - now->positionUs ? AudioLibrary::kLive : now->positionUs + us;
  seekTo(target);
}

void WindowControl::goLive() { seekTo(AudioLibrary::kLive); }

void WindowControl::stepChannel(int step) {
  const int row = ChannelIndex + step;
  if (row < 0 || row >= form_.ListBox1->count()) return;
  guarded([&] {
    selectRow(form_.ListBox1, row);
    form_.ListBox1Click(form_.ListBox1);
  });
  form_.publishNowPlaying();
}

void WindowControl::show() {
  form_.showNormal();
  form_.raise();
  form_.activateWindow();
}

void WindowControl::close() { form_.close(); }

}  // namespace radiolist
