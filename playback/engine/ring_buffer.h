#pragma once
// A fixed-size single-producer/single-consumer ring of trivially copyable items, allocated once.
//
// Invariant: read_ <= write_ <= read_ + capacity. The items [read_, write_) (indices taken modulo
// the capacity, a power of two) were written by the producer and not yet consumed. Only the
// producer stores write_ and only the consumer stores read_; each publishes with release and
// reads the other's index with acquire, so an item is fully written before the consumer can see
// it and fully read before the producer may overwrite it. Indices run freely and wrap at 2^64.
//
// Threads: write() and waitForSpace() from the one producer thread, read()/discard() from the one
// consumer thread, wakeProducer() and the size queries from anywhere (their answer may be stale
// by the time it is used). Only waitForSpace() blocks; no call locks or allocates, so the output
// callback may use the consumer side (which wakes a waiting producer with a futex only when one
// waits). Each side checks its thread (log::ThreadCheck: debug and sanitizer builds); a side
// that changes hands (a voice's producer between its live decoder and its replay) is handed over
// explicitly, by whoever makes sure the old thread has stopped using it.

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstddef>
#include <memory>
#include <span>
#include <type_traits>

#include "playback/log/thread_check.h"

namespace radiolist::audio {

template <typename T>
class SpscRing {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  // `capacity` is rounded up to a power of two.
  explicit SpscRing(std::size_t capacity)
      : capacity_(std::bit_ceil(std::max<std::size_t>(capacity, 2))),
        mask_(capacity_ - 1),
        items_(std::make_unique<T[]>(capacity_)) {}

  SpscRing(const SpscRing&) = delete;
  SpscRing& operator=(const SpscRing&) = delete;

  [[nodiscard]] std::size_t capacity() const { return capacity_; }

  // Producer: copies as many items of `src` as fit; returns how many.
  std::size_t write(std::span<const T> src) {
    producer_.check();
    const std::size_t w = write_.load(std::memory_order_relaxed);
    const std::size_t r = read_.load(std::memory_order_acquire);
    const std::size_t n = std::min(src.size(), capacity_ - (w - r));
    copyIn(w, src.first(n));
    write_.store(w + n, std::memory_order_release);
    return n;
  }

  // Consumer: copies up to dst.size() of the oldest items into dst; returns how many.
  std::size_t read(std::span<T> dst) {
    consumer_.check();
    const std::size_t r = read_.load(std::memory_order_relaxed);
    const std::size_t w = write_.load(std::memory_order_acquire);
    const std::size_t n = std::min(dst.size(), w - r);
    copyOut(r, dst.first(n));
    read_.store(r + n, std::memory_order_release);
    if (n > 0) madeRoom();
    return n;
  }

  // Consumer: drops up to n of the oldest items; returns how many were dropped.
  std::size_t discard(std::size_t n) {
    consumer_.check();
    const std::size_t r = read_.load(std::memory_order_relaxed);
    const std::size_t w = write_.load(std::memory_order_acquire);
    n = std::min(n, w - r);
    read_.store(r + n, std::memory_order_release);
    if (n > 0) madeRoom();
    return n;
  }

  [[nodiscard]] std::size_t readable() const {
    const std::size_t r = read_.load(std::memory_order_acquire);
    return write_.load(std::memory_order_acquire) - r;
  }
  [[nodiscard]] std::size_t writable() const { return capacity_ - readable(); }
  // Items written and consumed since the ring was made (running counts).
  [[nodiscard]] std::size_t written() const { return write_.load(std::memory_order_acquire); }
  [[nodiscard]] std::size_t consumed() const { return read_.load(std::memory_order_acquire); }

  // Producer: waits until at least one item fits, or wakeProducer() is called.
  void waitForSpace() const {
    producer_.check();
    const std::uint32_t seen = rooms_.load(std::memory_order_acquire);
    if (writable() > 0) return;
    rooms_.wait(seen, std::memory_order_acquire);
  }
  // Ends a waitForSpace() now or the next one to start before any room is made (a stop).
  void wakeProducer() { madeRoom(); }

  // The next thread to call a producer's (consumer's) method becomes the producer (consumer).
  // Only once the old one has stopped calling it.
  void handProducerOver() { producer_.release(); }
  void handConsumerOver() { consumer_.release(); }

 private:
  void copyIn(std::size_t at, std::span<const T> src) {
    const std::size_t start = at & mask_;
    const std::size_t first = std::min(src.size(), capacity_ - start);
    std::copy_n(src.data(), first, items_.get() + start);
    std::copy_n(src.data() + first, src.size() - first, items_.get());
  }
  void copyOut(std::size_t at, std::span<T> dst) const {
    const std::size_t start = at & mask_;
    const std::size_t first = std::min(dst.size(), capacity_ - start);
    std::copy_n(items_.get() + start, first, dst.data());
    std::copy_n(items_.get(), dst.size() - first, dst.data() + first);
  }

  void madeRoom() {
    rooms_.fetch_add(1, std::memory_order_release);
    rooms_.notify_one();
  }

  const std::size_t capacity_;
  const std::size_t mask_;
  const std::unique_ptr<T[]> items_;
  // Separate cache lines: the producer writes one, the consumer the other.
  alignas(64) std::atomic<std::size_t> write_{0};
  alignas(64) std::atomic<std::size_t> read_{0};
  // Counts the consumer's reads and discards (and wake-ups): what a waiting producer sleeps on.
  // Mutable: waiting on it changes nothing a reader of the ring sees.
  alignas(64) mutable std::atomic<std::uint32_t> rooms_{0};
  // Which thread is each side's (checked in debug and sanitizer builds).
  log::ThreadCheck producer_;
  log::ThreadCheck consumer_;
};

}  // namespace radiolist::audio
