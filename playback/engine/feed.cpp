#include "playback/engine/feed.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace radiolist::audio {

using namespace std::chrono_literals;

namespace {
// Reads from the network in pieces of this size; a whole Ogg page fits in a few.
constexpr std::size_t kReadPiece = 16 * 1024;
}  // namespace

Feed::Feed(net::HttpStream& stream, std::stop_token stop) : stream_(stream), stop_(std::move(stop)) {}

bool Feed::pullRaw(std::size_t size) {
  if (ended_) return false;
  const std::size_t had = ahead_.size();
  ahead_.resize(had + size);
  while (!stop_.stop_requested()) {
    const std::size_t n =
        stream_.read(std::as_writable_bytes(std::span(ahead_.data() + had, size)), 50ms);
    if (n > 0) {
      ahead_.resize(had + n);
      return true;
    }
    const net::StreamState state = stream_.state();
    if (state == net::StreamState::Ended || state == net::StreamState::Failed ||
        state == net::StreamState::Cancelled) {
      ended_ = true;
      break;
    }
  }
  ahead_.resize(had);
  return false;
}

std::size_t Feed::peek(std::size_t bytes) {
  // Consumed bytes are dropped only here and in read(), never while a span from ahead() is used.
  if (consumed_ > 0 && consumed_ == ahead_.size()) {
    ahead_.clear();
    consumed_ = 0;
  }
  while (ahead().size() < bytes && !atBoundary_) {
    if (!pullRaw(std::max(bytes - ahead().size(), std::size_t{1}))) break;
  }
  return ahead().size();
}

std::size_t Feed::read(std::uint8_t* dst, std::size_t size) {
  if (ahead().empty()) {
    ahead_.clear();
    consumed_ = 0;
    if (atBoundary_ || !pullRaw(std::min(size, kReadPiece))) return 0;
  }
  const std::size_t n = std::min(size, ahead().size());
  std::memcpy(dst, ahead_.data() + consumed_, n);
  consumed_ += n;
  return n;
}

}  // namespace radiolist::audio
