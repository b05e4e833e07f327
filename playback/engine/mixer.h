#pragma once
// The mixer: sums every audible voice into the output buffer.
//
// Threads: render() and audioWaiting() run under the output's lock only, one at a time (on its
// callback thread, or on a decoder thread that woke it), and never block, lock, allocate or log.
// attach() and detach() come from the engine's control threads (never the callback).
// A voice stays valid for the mixer from attach() until detach() returns.

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>

#include "playback/engine/family.h"
#include "playback/engine/ring_buffer.h"
#include "playback/log/timeline.h"

namespace radiolist::audio {

inline constexpr unsigned kOutputRate = 44100;

struct StereoFrame {
  float left;
  float right;
};

class Mixer;

// The playback side of one source: its decoded audio and whether it may sound.
struct Voice {
  explicit Voice(std::size_t frames) : ring(frames) {}

  // Producer: the source's decoder thread. Consumer: the mixer.
  SpscRing<StereoFrame> ring;

  // Written by the decoder (family) and the engine (wants), read by the mixer.
  std::atomic<Family> family{Family::Undecided};
  std::atomic<bool> wantGeneral{false};
  std::atomic<bool> wantAac{false};
  // Bumped by the engine to have the mixer drop all but the newest kKeepFrames at once.
  std::atomic<std::uint32_t> trimRequests{0};
  // Set by the ring's producer to the ring's written() count when what it wrote so far is no
  // longer to be heard (a jump in time): the mixer drops it, and keeps what comes after.
  std::atomic<std::size_t> dropBefore{0};
  // Paused: the mixer neither plays nor drops the voice's audio, which waits where it stands.
  std::atomic<bool> paused{false};
  // Steady-clock time (ns) until which the voice goes on sounding although no channel wants it:
  // BASS_Free sets it, so that the window's free-and-create-again of the same address does not
  // drop out for an output period that happens to fall between the two calls.
  std::atomic<std::int64_t> holdUntilNs{0};
  // The mixer the voice is attached to, if any.
  std::atomic<Mixer*> mixer{nullptr};
  // Made while the start-up timeline records: its decoder and the mixer mark their stages.
  const std::uint32_t recording = log::timeline::recording();

  // Frames in the ring that are still to be heard.
  [[nodiscard]] std::size_t pendingFrames() const {
    const std::size_t from = std::max(ring.consumed(), dropBefore.load(std::memory_order_acquire));
    const std::size_t to = ring.written();
    return to > from ? to - from : 0;
  }
  [[nodiscard]] bool audibleAt(std::int64_t nowNs) const {
    return audible() || nowNs < holdUntilNs.load(std::memory_order_acquire);
  }
  [[nodiscard]] bool audible() const {
    const Family f = family.load(std::memory_order_acquire);
    return (f == Family::General && wantGeneral.load(std::memory_order_acquire)) ||
           (f == Family::Aac && wantAac.load(std::memory_order_acquire));
  }
};

// How many of `readable` frames a silent voice drops now. A voice that went silent keeps its
// audio for `graceFrames` (so that a quick stop/play or free/adopt carries on without a jump);
// after that only the newest `keepFrames` stay. The room this leaves lets the decoder go on
// draining the network, so that playing again starts near the live edge instead of seconds
// behind it.
[[nodiscard]] constexpr std::size_t silentFramesToDrop(std::size_t readable, std::size_t silentFor,
                                                       std::size_t graceFrames,
                                                       std::size_t keepFrames) {
  if (silentFor < graceFrames || readable <= keepFrames) return 0;
  return readable - keepFrames;
}

class Mixer {
 public:
  static constexpr std::size_t kMaxVoices = 32;
  static constexpr std::size_t kGraceFrames = kOutputRate / 2;  // 0.5 s
  // One second: servers send Ogg pages of up to a second at a time, so less would run dry.
  static constexpr std::size_t kKeepFrames = kOutputRate;

  // False when all slots are taken; the voice then never sounds.
  bool attach(Voice* voice);
  // After it returns the mixer no longer touches `voice`. May wait for one running render().
  void detach(Voice* voice);

  // Fills `frames` interleaved stereo float frames at `out`; returns how many of them (from the
  // start) carry a voice's audio, 0 when all are silence.
  std::size_t render(float* out, std::size_t frames) noexcept;
  // True when a voice that may sound has at least `frames` of audio waiting. Under the output's
  // lock, like render().
  [[nodiscard]] bool audioWaiting(std::size_t frames) noexcept;
  // The thread that calls render() next becomes the reader of every voice's ring: for a render
  // on another thread than the output's (one that woke it), and for a new output's thread.
  // Under the output's lock, like render().
  void handConsumersOver() noexcept;

  // The output's way to be told that audio has just begun to arrive, so that it need not wait
  // for its next refill; set by the output while it exists. wake() comes from a decoder thread
  // and may wait for the output's lock, never for the network.
  void setWaker(std::function<void()> waker);
  void wake();

  // Scales everything the mixer renders (a fade, for one); 1 is unchanged. Any thread.
  void setGain(float gain) { gain_.store(std::clamp(gain, 0.0f, 1.0f)); }
  [[nodiscard]] float gain() const { return gain_.load(); }

 private:
  struct Slot {
    std::atomic<Voice*> voice{nullptr};
    // Owned by render(): the voice last seen in this slot and how long it has been silent.
    Voice* seen = nullptr;
    std::size_t silentFor = 0;
    std::uint32_t trimsDone = 0;
  };
  std::array<Slot, kMaxVoices> slots_;
  std::atomic<float> gain_{1.0f};
  std::mutex wakerMutex_;
  std::function<void()> waker_;  // guarded by wakerMutex_
  // Odd while render() or audioWaiting() runs; lets detach() know when a removed voice is out of
  // the mixer's hands.
  std::atomic<std::uint64_t> renderEpoch_{0};
};

}  // namespace radiolist::audio
