#pragma once
// Inside the transport: one stream's transfer on the network thread (network_loop.h).

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "playback/log/thread_check.h"
#include "playback/log/timeline.h"
#include "playback/net/curl_handles.h"
#include "playback/net/icy_deinterleaver.h"
#include "playback/net/response_head.h"
#include "playback/net/stream_shared.h"

namespace radiolist::net::detail {

// One stream's transfer, owned by the network thread; every curl call happens there.
class Transfer {
 public:
  explicit Transfer(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;
  ~Transfer();

  [[nodiscard]] const std::shared_ptr<Shared>& shared() const { return shared_; }
  [[nodiscard]] CURL* easy() const { return easy_.get(); }
  // Sets the transfer up and adds it to `multi`; false (and the stream Failed) when it cannot.
  bool start(curl::Multi& multi);
  // Lets a paused transfer go on; curl may hand over the held piece at once.
  void resume();
  // Ends the stream when its head or its next byte is overdue (true); else the time by which
  // one must come.
  bool overdue(Clock::time_point now, Clock::time_point& deadline);
  // The end curl reported for this transfer.
  void conclude(CURLcode code);

 private:
  bool setUp();
  static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* self);
  static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* self);
  std::size_t header(std::string_view line);
  std::size_t body(std::span<const std::byte> data);
  void publishHead();

  std::shared_ptr<Shared> shared_;
  const StreamOptions& options() const { return shared_->options; }

  // The network thread's only.
  curl::Slist requestHeaders_;
  curl::Slist statusAliases_;
  char errorText_[CURL_ERROR_SIZE] = {};
  curl::Easy easy_;                 // after what it points to: cleaned up first
  curl::Multi* multi_ = nullptr;    // set once the easy handle is in it
  log::ThreadCheck networkThread_;  // every call but the destructor's
  HeaderCollector collector_;
  std::optional<IcyDeinterleaver> icy_;  // exists once the final head is in
  std::uint64_t metaSeen_ = 0;
  StreamError callbackError_ = StreamError::None;  // why a callback aborted the transfer
  Clock::time_point headDeadline_;
  Clock::time_point lastByte_;  // last body byte, or when the transfer last resumed
  // Started while the start-up timeline records: its stages are the ones timed.
  const std::uint32_t recording_ = log::timeline::recording();
};

}  // namespace radiolist::net::detail
