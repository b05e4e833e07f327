#include "app/core/player.h"

#include <QCoreApplication>
#include <QPointer>
#include <utility>

namespace radiolist {

Player::Player(PlaybackControls& controls, QObject* parent)
    : QObject(parent), controls_(controls), nowPlaying_(this) {
  // The library wakes the core from its own threads; the events are taken on the core's thread.
  // The pointer is checked there, so a wake that comes after the core went does nothing.
  QCoreApplication* application = QCoreApplication::instance();
  controls_.SetEventWake([application, core = QPointer<Player>(this)] {
    if (application == nullptr) return;
    QMetaObject::invokeMethod(
        application,
        [core] {
          if (core) core->follow(false);
        },
        Qt::QueuedConnection);
  });
}

void Player::attachWindow(PlayerWindow* window) {
  window_ = window;
  heard_ = {};
}

void Player::windowChanged() { follow(true); }

void Player::follow(bool poll) {
  if (window_ == nullptr) {
    (void)controls_.TakeEvents();  // nothing to tell them to
    return;
  }
  const ChannelView view = window_->channelView();
  const DWORD handles[] = {view.general, view.aac};
  for (std::size_t i = 0; i < heard_.size(); ++i) {
    if (heard_[i].handle != handles[i])
      heard_[i] = Heard{handles[i], std::nullopt, std::nullopt, {}};
    // Stopping or creating a stream changes where it stands at once, without an event.
    if (poll && handles[i] != 0) heard_[i].shift = controls_.ChannelGetShift(handles[i]);
  }
  for (const PlaybackEvent& event : controls_.TakeEvents()) {
    if (event.kind == PlaybackEvent::Kind::Gone)
      noteGone(view, event);
    else
      apply(event);
  }

  OnAir now;
  now.channel = view.channel;
  now.channels = view.channels;
  now.channelName = view.channelName;
  // The library's station comes with the title it belongs to (one event batch); the window's
  // reading of the response head stands in while the library has told none.
  now.station = view.station.value_or(view.channelName);
  for (const Heard& heard : heard_) {
    if (!heard.station.empty()) {
      now.station = QString::fromStdString(heard.station);
      break;
    }
  }
  if (view.active) now.state = OnAir::State::Playing;
  // The channel sounds through whichever of its two streams carries its codec.
  bool paused = false;
  for (const Heard& heard : heard_) {
    if (!now.title) now.title = heard.title;
    if (heard.shift) {
      now.delay = heard.shift->delaySeconds;
      now.canSeek = heard.shift->canSeek;
      paused = heard.shift->paused;
    }
  }
  if (paused && now.state == OnAir::State::Playing) now.state = OnAir::State::Paused;
  nowPlaying_.update(std::move(now));
}

void Player::apply(const PlaybackEvent& event) {
  if (event.kind == PlaybackEvent::Kind::SaveEnded) {
    nowPlaying_.reportSaveFailure(event.save);
    return;
  }
  for (Heard& heard : heard_) {
    if (heard.handle == 0 || heard.handle != event.handle) continue;
    switch (event.kind) {
      case PlaybackEvent::Kind::Title: heard.title = event.title; break;
      case PlaybackEvent::Kind::Shift: heard.shift = event.shift; break;
      // A stream that ended has no past to move in any more; the state is the window's to read.
      case PlaybackEvent::Kind::Activity:
        heard.shift = controls_.ChannelGetShift(heard.handle);
        break;
      case PlaybackEvent::Kind::Station: heard.station = event.station; break;
      case PlaybackEvent::Kind::SaveEnded:
      case PlaybackEvent::Kind::Gone: break;
    }
  }
}

void Player::noteGone(const ChannelView& view, const PlaybackEvent& event) {
  if (event.handle == 0 || (event.handle != view.general && event.handle != view.aac)) return;
  if (view.streamRow < 0 || view.streamAddress.isEmpty()) return;
  // The line may have been edited since the streams were made: only the address that failed is
  // worth mending.
  const QList<ListedStation> stations = window_->stations();
  if (view.streamRow >= stations.size()) return;
  const ListedStation& line = stations[view.streamRow];
  if (line.address != view.streamAddress) return;
  emit lineGone(GoneLine{view.streamRow, line.name, line.address, event.gone});
}

DWORD Player::soundingHandle() const {
  if (window_ == nullptr) return 0;
  const ChannelView view = window_->channelView();
  for (const DWORD handle : {view.general, view.aac}) {
    if (handle != 0 && controls_.ChannelGetShift(handle)) return handle;
  }
  return 0;
}

std::optional<ShiftState> Player::shift() const {
  const DWORD handle = soundingHandle();
  return handle != 0 ? controls_.ChannelGetShift(handle) : std::nullopt;
}

void Player::pause() {
  if (const DWORD handle = soundingHandle()) controls_.ChannelPause(handle, true);
  follow(true);
}

void Player::play() {
  const DWORD handle = soundingHandle();
  const std::optional<ShiftState> now = shift();
  if (handle != 0 && now && now->paused) {
    controls_.ChannelPause(handle, false);
    follow(true);
  } else if (nowPlaying_.now().state == OnAir::State::Stopped) {
    start();
  }  // playing already: nothing, which keeps what is heard where it is
}

void Player::playPause() {
  if (nowPlaying_.now().state != OnAir::State::Playing)
    play();
  else if (shift())
    pause();
  else
    stop();  // still connecting, nothing to pause yet: as the button would
}

void Player::seekTo(std::int64_t us) {
  const DWORD handle = soundingHandle();
  if (handle == 0 || !controls_.ChannelSeek(handle, us)) return;
  follow(true);
  nowPlaying_.reportJump();
}

void Player::seekBy(std::int64_t us) {
  const std::optional<ShiftState> now = shift();
  if (!now) return;
  // Forward past live is live: an offset cannot overflow the clock into the past.
  const std::int64_t target =
      us >= now->liveUs - now->positionUs ? PlaybackControls::kLive : now->positionUs + us;
  seekTo(target);
}

void Player::goLive() { seekTo(PlaybackControls::kLive); }

}  // namespace radiolist
