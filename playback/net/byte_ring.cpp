#include "playback/net/byte_ring.h"

#include <algorithm>
#include <cstring>

namespace radiolist::net {

ByteRing::ByteRing(std::size_t capacity)
    : data_(std::make_unique_for_overwrite<std::byte[]>(std::max<std::size_t>(capacity, 1))),
      capacity_(capacity) {}

std::size_t ByteRing::write(std::span<const std::byte> in) {
  const std::size_t n = std::min(in.size(), space());
  if (n == 0) return 0;
  const std::size_t tail = (head_ + size_) % capacity_;
  const std::size_t first = std::min(n, capacity_ - tail);
  std::memcpy(data_.get() + tail, in.data(), first);
  std::memcpy(data_.get(), in.data() + first, n - first);
  size_ += n;
  return n;
}

std::size_t ByteRing::read(std::span<std::byte> out) {
  const std::size_t n = std::min(out.size(), size_);
  if (n == 0) return 0;
  const std::size_t first = std::min(n, capacity_ - head_);
  std::memcpy(out.data(), data_.get() + head_, first);
  std::memcpy(out.data() + first, data_.get(), n - first);
  head_ = (head_ + n) % capacity_;
  size_ -= n;
  return n;
}

}  // namespace radiolist::net
