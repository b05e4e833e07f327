#include "playback/engine/mixer.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace radiolist::audio {

bool Mixer::attach(Voice* voice) {
  voice->ring.handConsumerOver();  // read by whoever renders now, before the mixer sees it
  for (Slot& slot : slots_) {
    Voice* empty = nullptr;
    if (slot.voice.compare_exchange_strong(empty, voice)) {
      voice->mixer.store(this);
      return true;
    }
  }
  return false;
}

void Mixer::detach(Voice* voice) {
  bool found = false;
  for (Slot& slot : slots_) {
    Voice* expected = voice;
    if (slot.voice.compare_exchange_strong(expected, nullptr)) found = true;
  }
  if (!found) return;
  voice->mixer.store(nullptr);
  // A render() that started before the slot was cleared may still hold the pointer: wait until
  // it has finished (the epoch moves on). Later renders cannot see the voice.
  const std::uint64_t epoch = renderEpoch_.load();
  if ((epoch & 1) == 0) return;
  while (renderEpoch_.load() == epoch) std::this_thread::yield();
}

void Mixer::setWaker(std::function<void()> waker) {
  const std::lock_guard lock(wakerMutex_);
  waker_ = std::move(waker);
}

void Mixer::wake() {
  const std::lock_guard lock(wakerMutex_);
  if (waker_) waker_();
}

bool Mixer::audioWaiting(std::size_t frames) noexcept {
  renderEpoch_.fetch_add(1);  // holds detach() off, as render() does
  const std::int64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
  const bool waiting = std::any_of(slots_.begin(), slots_.end(), [now, frames](const Slot& slot) {
    const Voice* voice = slot.voice.load();
    return voice != nullptr && voice->audibleAt(now) &&
           !voice->paused.load(std::memory_order_acquire) && voice->pendingFrames() >= frames;
  });
  renderEpoch_.fetch_add(1);
  return waiting;
}

void Mixer::handConsumersOver() noexcept {
  renderEpoch_.fetch_add(1);  // holds detach() off, as render() does
  for (Slot& slot : slots_) {
    if (Voice* voice = slot.voice.load()) voice->ring.handConsumerOver();
  }
  renderEpoch_.fetch_add(1);
}

std::size_t Mixer::render(float* out, std::size_t frames) noexcept {
  renderEpoch_.fetch_add(1);
  std::size_t sounded = 0;
  std::memset(out, 0, frames * sizeof(StereoFrame));
  constexpr std::size_t kChunk = 256;
  StereoFrame chunk[kChunk];
  const std::int64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
  for (Slot& slot : slots_) {
    Voice* voice = slot.voice.load();
    if (voice != slot.seen) {
      slot.seen = voice;
      slot.silentFor = 0;
      slot.trimsDone = voice != nullptr ? voice->trimRequests.load() : 0;
    }
    if (voice == nullptr) continue;
    if (const std::uint32_t trims = voice->trimRequests.load(); trims != slot.trimsDone) {
      slot.trimsDone = trims;
      voice->ring.discard(
          silentFramesToDrop(voice->ring.readable(), kGraceFrames, kGraceFrames, kKeepFrames));
    }
    if (const std::size_t drop = voice->dropBefore.load(std::memory_order_acquire),
        read = voice->ring.consumed();
        drop > read)
      voice->ring.discard(drop - read);
    if (voice->paused.load(std::memory_order_acquire)) continue;
    if (!voice->audibleAt(now)) {
      slot.silentFor += frames;
      voice->ring.discard(
          silentFramesToDrop(voice->ring.readable(), slot.silentFor, kGraceFrames, kKeepFrames));
      continue;
    }
    slot.silentFor = 0;
    std::size_t done = 0;
    while (done < frames) {
      const std::size_t got =
          voice->ring.read(std::span<StereoFrame>(chunk, std::min(kChunk, frames - done)));
      if (got == 0) break;
      float* dst = out + 2 * done;
      for (std::size_t i = 0; i < got; ++i) {
        dst[2 * i] += chunk[i].left;
        dst[2 * i + 1] += chunk[i].right;
      }
      done += got;
    }
    sounded = std::max(sounded, done);
    if (done != 0) log::timeline::mark(log::timeline::Stage::Rendered, voice->recording);
  }
  const float gain = gain_.load(std::memory_order_relaxed);
  for (std::size_t i = 0; i < 2 * frames; ++i) out[i] = std::clamp(out[i] * gain, -1.0f, 1.0f);
  renderEpoch_.fetch_add(1);
  return sounded;
}

}  // namespace radiolist::audio
