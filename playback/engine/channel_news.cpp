#include "playback/engine/channel_news.h"

#include <algorithm>

namespace radiolist::audio {

void ChannelNews::close() {
  const std::lock_guard lock(mutex_);
  read_ = nullptr;
  handles_.clear();
}

void ChannelNews::attach(DWORD handle, EventQueue::Batch& batch) {
  using Kind = PlaybackEvent::Kind;
  const std::lock_guard lock(mutex_);
  if (!read_ || std::find(handles_.begin(), handles_.end(), handle) != handles_.end()) return;
  // The channels already on it hear what changed, then the new one what is known.
  applyLocked(read_(kAll), kAll, false, batch);
  handles_.push_back(handle);
  if (title_) postLocked(Kind::Title, handle, batch);
  if (station_) postLocked(Kind::Station, handle, batch);
  if (shift_ != ShiftState{}) postLocked(Kind::Shift, handle, batch);
  tellGoneLocked(handle, batch);
}

void ChannelNews::detach(DWORD handle) {
  const std::lock_guard lock(mutex_);
  std::erase(handles_, handle);
}

void ChannelNews::detachAll() {
  const std::lock_guard lock(mutex_);
  handles_.clear();
}

void ChannelNews::tell(unsigned what, EventQueue::Batch& batch, bool moved) {
  const std::lock_guard lock(mutex_);
  if (!read_ || handles_.empty()) return;
  applyLocked(read_(what), what, moved, batch);
}

void ChannelNews::applyLocked(Now now, unsigned what, bool moved, EventQueue::Batch& batch) {
  using Kind = PlaybackEvent::Kind;
  const bool title = (what & kTitle) != 0 && now.title != title_;
  const bool station = (what & kStation) != 0 && now.station && now.station != station_;
  const bool shift = (what & kShift) != 0 && (moved || shiftDiffers(now.shift, shift_));
  if (title) title_ = std::move(now.title);
  if (station) station_ = std::move(now.station);
  if ((what & kShift) != 0) shift_ = now.shift;
  for (const DWORD handle : handles_) {
    if (title) postLocked(Kind::Title, handle, batch);
    if (station) postLocked(Kind::Station, handle, batch);
    if (shift) postLocked(Kind::Shift, handle, batch);
  }
}

void ChannelNews::tell(unsigned what, bool moved) {
  EventQueue::Batch batch(queue_);
  tell(what, batch, moved);
}

void ChannelNews::activity() {
  EventQueue::Batch batch(queue_);
  const std::lock_guard lock(mutex_);
  for (const DWORD handle : handles_) postLocked(PlaybackEvent::Kind::Activity, handle, batch);
}

void ChannelNews::saveEnded(SongSave save) {
  EventQueue::Batch batch(queue_);
  PlaybackEvent event;
  event.kind = PlaybackEvent::Kind::SaveEnded;
  event.save = std::move(save);
  batch.post(std::move(event));
}

void ChannelNews::gone(StreamGone why) {
  EventQueue::Batch batch(queue_);
  const std::lock_guard lock(mutex_);
  if (!read_) return;
  gone_ = why;
  for (const DWORD handle : handles_) tellGoneLocked(handle, batch);
}

void ChannelNews::notGone() {
  const std::lock_guard lock(mutex_);
  gone_.reset();
  toldGone_.clear();
}

void ChannelNews::tellGoneLocked(DWORD handle, EventQueue::Batch& batch) {
  if (!gone_) return;
  const std::pair told{handle, *gone_};
  if (std::find(toldGone_.begin(), toldGone_.end(), told) != toldGone_.end()) return;
  if (toldGone_.size() >= kMaxToldGone) {
    // Channels no longer on it are forgotten first: those on it must not be told twice.
    std::erase_if(toldGone_, [&](const auto& t) {
      return std::find(handles_.begin(), handles_.end(), t.first) == handles_.end();
    });
    if (toldGone_.size() >= kMaxToldGone) toldGone_.erase(toldGone_.begin());
  }
  toldGone_.push_back(told);
  postLocked(PlaybackEvent::Kind::Gone, handle, batch);
}

void ChannelNews::postLocked(PlaybackEvent::Kind kind, DWORD handle, EventQueue::Batch& batch) {
  PlaybackEvent event;
  event.kind = kind;
  event.handle = handle;
  switch (kind) {
    case PlaybackEvent::Kind::Title: event.title = title_; break;
    case PlaybackEvent::Kind::Station: event.station = station_.value_or(std::string()); break;
    case PlaybackEvent::Kind::Shift: event.shift = shift_; break;
    case PlaybackEvent::Kind::Gone: event.gone = gone_.value_or(StreamGone::NotFound); break;
    default: break;
  }
  batch.post(std::move(event));
}

bool ChannelNews::shiftDiffers(const ShiftState& a, const ShiftState& b) {
  // The position moves with every packet; what a listener is shown changes by these.
  return a.paused != b.paused || a.behind != b.behind || a.canSeek != b.canSeek ||
         a.delaySeconds != b.delaySeconds;
}

}  // namespace radiolist::audio
