#pragma once
// One connection's body as the decoder reads it: bytes can be looked at before they are consumed
// (probing, telling a playlist from audio), and a chained Ogg stream can be cut at each new link
// so that every link gets a demuxer and decoder of its own.
//
// Threads: used by one thread only (the source's decoder thread).

#include <cstddef>
#include <cstdint>
#include <span>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "playback/net/http_stream.h"

namespace radiolist::audio {

class Feed {
 public:
  Feed(net::HttpStream& stream, std::stop_token stop);
  Feed(const Feed&) = delete;
  Feed& operator=(const Feed&) = delete;

  // Reads until at least `bytes` are waiting to be consumed, or the body ends first. Returns how
  // many are waiting.
  std::size_t peek(std::size_t bytes);
  // The bytes waiting to be consumed (valid until the next call that reads or consumes).
  [[nodiscard]] std::span<const std::uint8_t> ahead() const {
    return {ahead_.data() + consumed_, ahead_.size() - consumed_};
  }
  // Up to `size` bytes, waiting for at least one. 0 when the body is over, a stop was requested,
  // or (while splitting Ogg links) the next link begins.
  std::size_t read(std::uint8_t* dst, std::size_t size);

  // True when read() stopped at a new link; nextLink() lets reading go on into it.
  [[nodiscard]] bool atLinkBoundary() const { return atBoundary_; }

  // True once the stream has nothing more to give (ended, failed or cancelled).
  [[nodiscard]] bool ended() const { return ended_; }
  [[nodiscard]] bool stopRequested() const { return stop_.stop_requested(); }
  [[nodiscard]] net::HttpStream& stream() { return stream_; }

 private:
  // Appends what the stream gives next (at most `size` bytes, waiting for some); false at its end.
  bool pullRaw(std::size_t size);

  net::HttpStream& stream_;
  const std::stop_token stop_;
  std::vector<std::uint8_t> ahead_;  // bytes read but not consumed start at consumed_
  std::size_t consumed_ = 0;
  bool ended_ = false;
  bool atBoundary_ = false;
};

}  // namespace radiolist::audio
