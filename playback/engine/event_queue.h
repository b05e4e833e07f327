#pragma once
// The one queue the library's events wait in until the program takes them (PlaybackControls):
// many threads post (the network and decoder threads, the engine's calls, a save), one takes.
//
// At most one event waits per kind and handle: a newer one replaces it where it stands, so a slow
// taker reads the latest state and the queue stays as small as the channels it speaks of
// (SaveEnded, which is no state but news, keeps its last kMaxSaveEnded). kMaxWaiting bounds it
// whatever happens: the oldest waiting event makes room.
//
// The wake is called when the queue goes from empty to not empty, by the thread that posted,
// once that thread has left every lock of ours (Batch), so that the taker may call back into the
// library at once. Never posted to from the output's callback.

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "playback/playback_controls.h"

namespace radiolist::audio {

class EventQueue {
 public:
  static constexpr std::size_t kMaxWaiting = 64;
  static constexpr std::size_t kMaxSaveEnded = 4;

  // Replaces the wake (nullptr: nobody is woken; the events still wait). Any thread.
  void setWake(std::function<void()> wake);
  // Everything waiting, oldest first; the queue is empty after it. The taker's thread.
  [[nodiscard]] std::vector<PlaybackEvent> take();
  [[nodiscard]] std::size_t waiting() const;

  // Posts events and calls the wake at its own end, when one of them found the queue empty:
  // make it before taking a lock of yours, so that it ends after the lock is released.
  class Batch {
   public:
    explicit Batch(EventQueue* queue) : queue_(queue) {}
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    void post(PlaybackEvent event);

   private:
    EventQueue* queue_;  // nullptr posts nothing
    bool wake_ = false;
  };

 private:
  // True when the queue was empty.
  bool post(PlaybackEvent event);
  void wake();

  mutable std::mutex mutex_;
  // Guarded by mutex_:
  std::deque<PlaybackEvent> waiting_;
  std::shared_ptr<const std::function<void()>> wake_;
};

}  // namespace radiolist::audio
