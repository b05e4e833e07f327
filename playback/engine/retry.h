#pragma once
// When a source connects again after its connection ended: the pauses, and whether the way it
// ended is worth another try at all. Pure.

#include <algorithm>
#include <chrono>

#include "playback/net/http_stream.h"

namespace radiolist::audio {

// Pauses between connection attempts: doubling from `first` up to `longest`.
class Backoff {
 public:
  Backoff(std::chrono::milliseconds first, std::chrono::milliseconds longest)
      : first_(first), longest_(longest), next_(first) {}
  // The pause before the next attempt; each call doubles the one after.
  std::chrono::milliseconds next() {
    const auto pause = next_;
    next_ = std::min(next_ * 2, longest_);
    return pause;
  }
  void reset() { next_ = first_; }

 private:
  std::chrono::milliseconds first_;
  std::chrono::milliseconds longest_;
  std::chrono::milliseconds next_;
};

struct RetryPolicy {
  std::chrono::milliseconds firstPause{500};
  std::chrono::milliseconds longestPause{30000};
  // A connection that played at least this long starts the pauses over from the first.
  std::chrono::milliseconds playedLongEnough{10000};
};

enum class Retry {
  GiveUp,  // the source ends
  Soon,    // after the next of the growing pauses
  Slowly,  // after the longest pause: asking again soon would not help, or would burden the server
};

// What follows the end of a connection attempt, from the stats of its last connection and
// whether the source has ever played.
Retry retryAfter(const net::StreamStats& end, bool playedBefore);

}  // namespace radiolist::audio
