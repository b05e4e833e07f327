#pragma once
// One connection's body as the decoder reads it: bytes can be looked at before they are consumed
// (probing, telling a playlist from audio), and a chained Ogg stream can be cut at each new link
// so that every link gets a demuxer and decoder of its own.
//
// Threads: used by one thread only (the source's decoder thread), checked.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

#include "playback/log/thread_check.h"
#include "playback/net/http_stream.h"
#include "playback/ogg/ogg_chain.h"

namespace radiolist::audio {

class Feed {
 public:
  Feed(net::HttpStream& stream, std::stop_token stop);
  Feed(const Feed&) = delete;
  Feed& operator=(const Feed&) = delete;

  // Reads until at least `bytes` are waiting to be consumed, or the body (or Ogg link) ends
  // first. Returns how many are waiting.
  std::size_t peek(std::size_t bytes);
  // The bytes waiting to be consumed (valid until the next call that reads or consumes).
  [[nodiscard]] std::span<const std::uint8_t> ahead() const {
    return {ahead_.data() + consumed_, ahead_.size() - consumed_};
  }
  // Once the body has ended: what is left to read becomes `bytes` (a playlist rewritten before
  // the demuxer reads it).
  void replaceRest(std::span<const std::uint8_t> bytes);
  // Done with this body (a page that has been read): its bytes are freed and its stream
  // cancelled.
  void discard();
  // Up to `size` bytes, waiting for at least one. 0 when the body is over, a stop was requested,
  // or (while splitting Ogg links) the next link begins.
  std::size_t read(std::uint8_t* dst, std::size_t size);

  // From now on bytes pass through whole Ogg pages; read() stops before the first page of each
  // new chained link. Titles from the links' comment headers go to `onTitle`.
  void splitOggLinks(std::function<void(SongTitle)> onTitle);
  // True when read() stopped at a new link; nextLink() lets reading go on into it.
  [[nodiscard]] bool atLinkBoundary() const { return atBoundary_; }
  void nextLink();

  // True once the stream has nothing more to give (ended, failed or cancelled).
  [[nodiscard]] bool ended() const { return ended_; }
  [[nodiscard]] bool stopRequested() const { return stop_.stop_requested(); }
  [[nodiscard]] net::HttpStream& stream() { return stream_; }

 private:
  // Appends more bytes to ahead_ (whole pages when splitting); false when none will come now.
  bool fill(std::size_t size);
  // Appends what the stream gives next to `to` (at most `size` bytes, waiting for some); false
  // at its end.
  bool pullRaw(std::vector<std::uint8_t>& to, std::size_t size);
  // Moves held and newly split pages into ahead_ until a new link begins.
  void takePages();
  void compact();

  net::HttpStream& stream_;
  const std::stop_token stop_;
  std::vector<std::uint8_t> ahead_;  // bytes read but not consumed start at consumed_
  std::size_t consumed_ = 0;
  bool ended_ = false;

  std::unique_ptr<ogg::ChainSplitter> splitter_;
  std::function<void(SongTitle)> onTitle_;
  std::deque<ogg::ChainSplitter::Page> held_;  // pages from a new link on, not yet handed out
  std::vector<std::uint8_t> raw_;
  bool pagesThisLink_ = false;
  bool atBoundary_ = false;
  log::ThreadCheck thread_;
};

}  // namespace radiolist::audio
