#include "app/core/now_playing.h"

#include <utility>

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

}  // namespace radiolist
