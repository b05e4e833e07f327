#include "playback/engine/event_queue.h"

#include <algorithm>
#include <utility>

namespace radiolist::audio {

void EventQueue::setWake(std::function<void()> wake) {
  auto shared = wake ? std::make_shared<const std::function<void()>>(std::move(wake)) : nullptr;
  const std::lock_guard lock(mutex_);
  wake_ = std::move(shared);
}

std::vector<PlaybackEvent> EventQueue::take() {
  const std::lock_guard lock(mutex_);
  std::vector<PlaybackEvent> out(std::make_move_iterator(waiting_.begin()),
                                 std::make_move_iterator(waiting_.end()));
  waiting_.clear();
  return out;
}

std::size_t EventQueue::waiting() const {
  const std::lock_guard lock(mutex_);
  return waiting_.size();
}

bool EventQueue::post(PlaybackEvent event) {
  using Kind = PlaybackEvent::Kind;
  const std::lock_guard lock(mutex_);
  const bool wasEmpty = waiting_.empty();
  if (event.kind == Kind::SaveEnded) {
    const auto saves = std::count_if(waiting_.begin(), waiting_.end(), [](const PlaybackEvent& e) {
      return e.kind == Kind::SaveEnded;
    });
    if (static_cast<std::size_t>(saves) >= kMaxSaveEnded) {
      waiting_.erase(std::find_if(waiting_.begin(), waiting_.end(), [](const PlaybackEvent& e) {
        return e.kind == Kind::SaveEnded;
      }));
    }
  } else {
    const auto same = std::find_if(waiting_.begin(), waiting_.end(), [&](const PlaybackEvent& e) {
      return e.kind == event.kind && e.handle == event.handle;
    });
    if (same != waiting_.end()) {
      *same = std::move(event);
      return false;
    }
  }
  if (waiting_.size() >= kMaxWaiting) waiting_.pop_front();
  waiting_.push_back(std::move(event));
  return wasEmpty;
}

void EventQueue::wake() {
  std::shared_ptr<const std::function<void()>> wake;
  {
    const std::lock_guard lock(mutex_);
    wake = wake_;
  }
  if (wake) (*wake)();
}

EventQueue::Batch::~Batch() {
  if (wake_) queue_->wake();
}

void EventQueue::Batch::post(PlaybackEvent event) {
  if (queue_ != nullptr && queue_->post(std::move(event))) wake_ = true;
}

}  // namespace radiolist::audio
