#include "app/desktop/sleep_timer.h"

#include <algorithm>

namespace radiolist {

float sleepVolume(std::chrono::milliseconds remaining, std::chrono::milliseconds fade) {
  if (remaining >= fade) return 1.0f;
  if (remaining.count() <= 0 || fade.count() <= 0) return 0.0f;
  return static_cast<float>(remaining.count()) / static_cast<float>(fade.count());
}

SleepTimer::SleepTimer(std::function<void(float)> setVolume, std::function<void()> stop)
    : setVolume_(std::move(setVolume)), stop_(std::move(stop)) {
  // Fine enough steps that the fade sounds smooth.
  tick_.setInterval(100);
  connect(&tick_, &QTimer::timeout, this, &SleepTimer::onTick);
}

void SleepTimer::start(unsigned seconds) {
  tick_.stop();
  if (volume_ != 1.0f) setVolume_(volume_ = 1.0f);
  length_ = std::chrono::seconds(seconds);
  shownSeconds_ = seconds;
  if (seconds != 0) {
    since_.start();
    tick_.start();
    onTick();  // a timer shorter than the fade starts fading at once
  }
  emit changed();
}

std::chrono::milliseconds SleepTimer::remaining() const {
  if (!tick_.isActive()) return std::chrono::milliseconds(0);
  return std::max(length_ - std::chrono::milliseconds(since_.elapsed()),
                  std::chrono::milliseconds(0));
}

unsigned SleepTimer::remainingSeconds() const {
  return static_cast<unsigned>((remaining().count() + 999) / 1000);
}

void SleepTimer::onTick() {
  const auto left = remaining();
  if (const float volume = sleepVolume(left, kFade); volume != volume_)
    setVolume_(volume_ = volume);
  if (left.count() == 0) {
    tick_.stop();
    stop_();
    setVolume_(volume_ = 1.0f);  // the next start plays at full volume
    shownSeconds_ = 0;
    emit changed();
    return;
  }
  if (const unsigned seconds = remainingSeconds(); seconds != shownSeconds_) {
    shownSeconds_ = seconds;
    emit changed();
  }
}

}  // namespace radiolist
