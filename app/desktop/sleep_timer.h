#pragma once
// The sleep timer: after the time asked for, playback stops; over the last kFade the sound fades
// out. The stop itself and the volume are the caller's (the window's START STOP stop, the audio
// library's volume).

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>

namespace radiolist {

// The volume `remaining` before the stop: 1 until the fade begins, then falling evenly to 0.
[[nodiscard]] float sleepVolume(std::chrono::milliseconds remaining,
                                std::chrono::milliseconds fade);

class SleepTimer : public QObject {
  Q_OBJECT
 public:
  static constexpr std::chrono::milliseconds kFade{30'000};

  SleepTimer(std::function<void(float)> setVolume, std::function<void()> stop);

  // Stops playback `seconds` from now (0 cancels a running timer and restores the volume).
  void start(unsigned seconds);
  [[nodiscard]] bool running() const { return tick_.isActive(); }
  // Whole seconds left, rounded up; 0 when not running.
  [[nodiscard]] unsigned remainingSeconds() const;

 signals:
  // Started, cancelled, ended, or a second went by.
  void changed();

 private:
  void onTick();
  [[nodiscard]] std::chrono::milliseconds remaining() const;

  std::function<void(float)> setVolume_;
  std::function<void()> stop_;
  QTimer tick_;
  QElapsedTimer since_;
  std::chrono::milliseconds length_{0};
  unsigned shownSeconds_ = 0;
  float volume_ = 1.0f;
};

}  // namespace radiolist
