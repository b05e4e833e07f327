#pragma once
// A fixed-capacity FIFO of bytes, allocated once. Invariant: 0 <= size() <= capacity(); the
// bytes in order are [head_, head_ + size_) modulo capacity. Not thread-safe: the stream guards
// it with its mutex.

#include <cstddef>
#include <memory>
#include <span>

namespace radiolist::net {

class ByteRing {
 public:
  explicit ByteRing(std::size_t capacity);

  [[nodiscard]] std::size_t capacity() const { return capacity_; }
  [[nodiscard]] std::size_t size() const { return size_; }
  [[nodiscard]] std::size_t space() const { return capacity_ - size_; }

  // Appends as much of `in` as fits; returns how much that was.
  std::size_t write(std::span<const std::byte> in);
  // Moves up to out.size() bytes out; returns how many.
  std::size_t read(std::span<std::byte> out);
  void clear() { head_ = size_ = 0; }

 private:
  std::unique_ptr<std::byte[]> data_;
  std::size_t capacity_;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
};

}  // namespace radiolist::net
