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

// The steps of a source's reconnecting: after a connection attempt ends, a pause (a step of the
// Backoff, or the longest pause) before the next one. The network's news may cut a step short
// once: that early try goes out at once, and if it fails the source waits out the rest of the
// same step and tries again when the step ends, as if the early try had not happened; an early try
// that fails only after its step would have ended stands for the step's own try. A stalled
// connection cancelled because of news counts as the early try of the step that follows it.
// News never cuts short a step after the server answered (an HTTP status) or a slow pause: the
// server, not the network, said no. So a network that keeps changing adds at most one try per
// step.
// Pure: every time is passed in. Not thread-safe: the source guards it with its mutex.
class RetrySchedule {
 public:
  using Clock = std::chrono::steady_clock;

  struct AttemptEnd {
    Retry retry = Retry::Soon;    // retryAfter()'s judgement: Soon or Slowly
    bool serverAnswered = false;  // it failed on the status of a response
    bool played = false;          // it decoded audio
    Clock::duration lasted{};     // from its start to its end
    // The host name did not resolve: the network is not back yet (a link up before its address
    // or DNS), so an early try that fails so does not use up its step's one.
    bool noName = false;
  };

  explicit RetrySchedule(const RetryPolicy& policy)
      : backoff_(policy.firstPause, policy.longestPause),
        longest_(policy.longestPause),
        playedLongEnough_(policy.playedLongEnough) {}

  // An attempt ended at `now`: returns when the next one goes out. From now on the source waits.
  Clock::time_point ended(Clock::time_point now, const AttemptEnd& end);
  // The wait is over; the next attempt goes out.
  void connecting() { waiting_ = false; }
  // News at `now` while waiting: true when it cuts the step short (the next attempt goes out now,
  // as the step's early try).
  bool newsWhileWaiting(Clock::time_point now);
  // News while the connection in hand has stalled: true when it is to be cancelled (and the next
  // attempt goes out at once, as the early try of the step that follows). `sounding`: the
  // connection has decoded audio. An early try that has not sounded is never cancelled by news.
  bool newsWhileStalled(bool sounding);

 private:
  Backoff backoff_;
  std::chrono::milliseconds longest_;
  std::chrono::milliseconds playedLongEnough_;
  bool waiting_ = false;
  Clock::time_point stepEnds_{};
  bool mayCut_ = false;      // news may cut this step short
  bool earlyTaken_ = false;  // this step's early try went out
  bool early_ = false;       // the attempt in hand (or the next one) is the step's early try
  bool cancelled_ = false;   // news cancelled the attempt in hand
};

}  // namespace radiolist::audio
