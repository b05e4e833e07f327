#include "playback/log/timeline.h"

#include <array>
#include <atomic>
#include <cstdint>

namespace radiolist::log::timeline {

namespace {

constexpr auto kStages = static_cast<std::size_t>(Stage::Count);

std::atomic<std::uint32_t> gRecording{0};  // 0: none
std::uint32_t gLastRecording = 0;          // arm() and disarm() only, on one thread
std::atomic<std::int64_t> gArmedAt{0};
std::array<std::atomic<std::int64_t>, kStages> gMarks{};

std::int64_t now() {
  return std::chrono::steady_clock::now().time_since_epoch() / std::chrono::nanoseconds(1);
}

}  // namespace

std::string_view name(Stage stage) {
  static constexpr std::array<std::string_view, kStages> kNames{
      "hinted", "created", "connected", "head",    "first byte",
      "probed", "decoded", "queued",    "rendered"};
  return kNames.at(static_cast<std::size_t>(stage));
}

void arm() {
  gRecording.store(0, std::memory_order_release);
  for (auto& m : gMarks) m.store(0, std::memory_order_relaxed);
  gArmedAt.store(now(), std::memory_order_relaxed);
  if (++gLastRecording == 0) ++gLastRecording;
  gRecording.store(gLastRecording, std::memory_order_release);
}

void disarm() { gRecording.store(0, std::memory_order_release); }

std::uint32_t recording() noexcept { return gRecording.load(std::memory_order_acquire); }

void mark(Stage stage, std::uint32_t recordingNumber) noexcept {
  if (recordingNumber == 0 || recordingNumber != gRecording.load(std::memory_order_acquire)) return;
  std::int64_t unset = 0;
  gMarks[static_cast<std::size_t>(stage)].compare_exchange_strong(unset, now(),
                                                                  std::memory_order_relaxed);
}

std::optional<std::chrono::nanoseconds> at(Stage stage) {
  const std::int64_t when = gMarks[static_cast<std::size_t>(stage)].load(std::memory_order_relaxed);
  if (when == 0) return std::nullopt;
  return std::chrono::nanoseconds(when - gArmedAt.load(std::memory_order_relaxed));
}

}  // namespace radiolist::log::timeline
