#pragma once
// Inside the transport (http_stream.cpp, transfer.cpp, network_loop.cpp): what a stream's handle
// and its transfer on the network thread share.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "playback/net/byte_ring.h"
#include "playback/net/http_stream.h"

namespace radiolist::net::detail {

using Clock = std::chrono::steady_clock;

inline bool isTerminal(StreamState s) {
  return s != StreamState::Connecting && s != StreamState::Streaming;
}

// The thread holds its own reference, so the handle can go away at any time without waiting
// for it.
struct Shared {
  explicit Shared(StreamOptions o);

  const StreamOptions options;
  std::atomic<bool> cancelled{false};

  // Guarded by `mutex`: what the reader and the snapshots see, and the pause hand-shake.
  mutable std::mutex mutex;
  std::condition_variable readable;  // audio arrived, or the state became terminal
  ByteRing ring;
  StreamState state = StreamState::Connecting;
  std::shared_ptr<const ResponseHead> head;
  std::optional<std::string> meta;
  std::shared_ptr<const std::function<void()>> metaListener;  // called after `meta` changes
  StreamStats stats;
  bool paused = false;  // set by the network thread when the ring was full; cleared by the
                        // reader, who then asks the network thread to unpause

  // The caller then has the network thread remove the transfer.
  void cancel();

  // Ends the stream in `s` unless it already ended (a cancel wins over what the thread found).
  void finish(StreamState s, StreamError error, std::string text,
              ConnectStep step = ConnectStep::None);
};

}  // namespace radiolist::net::detail
