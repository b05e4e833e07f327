#include "playback/engine/retry.h"

#include <utility>

namespace radiolist::audio {

namespace {
Retry afterStatus(int status) {
  // A mount is away while its encoder reconnects (404), or the server restarts (5xx): it comes
  // back within seconds.
  if (status == 404 || status == 408 || (status >= 500 && status != 501 && status != 503)) {
    return Retry::Soon;
  }
  if (status == 410) return Retry::GiveUp;  // said to be gone for good
  // Full (403, 429, 503), wants credentials, or refuses the request as made: not within seconds.
  return Retry::Slowly;
}
}  // namespace

Retry retryAfter(const net::StreamStats& end, bool playedBefore) {
  // An address that never played is wrong, or not a stream: trying it again changes nothing.
  if (!playedBefore) return Retry::GiveUp;
  switch (end.error) {
    case net::StreamError::None:  // the server closed the stream, or this time it carried no audio
    case net::StreamError::Stalled:
    case net::StreamError::Transfer:
    case net::StreamError::HeadTimeout: return Retry::Soon;
    case net::StreamError::Connect:
      // The network may be down or changing, or the server restarting. A certificate that is
      // not trusted stays so until somebody fixes it.
      return end.connectStep == net::ConnectStep::Tls ? Retry::Slowly : Retry::Soon;
    case net::StreamError::HttpStatus: return afterStatus(end.httpStatus);
    case net::StreamError::TooManyRedirects:
    case net::StreamError::HeadTooLarge: return Retry::Slowly;  // a server set up wrong, or hostile
    case net::StreamError::BadUrl: return Retry::GiveUp;
  }
  return Retry::GiveUp;
}

RetrySchedule::Clock::time_point RetrySchedule::ended(Clock::time_point now,
                                                      const AttemptEnd& end) {
  waiting_ = true;
  const bool wasEarly = std::exchange(early_, false);
  const bool wasCancelled = std::exchange(cancelled_, false);
  if (end.played) {
    if (end.lasted >= playedLongEnough_) backoff_.reset();
  } else if (wasEarly && now < stepEnds_) {
    if (end.noName) earlyTaken_ = false;
    return stepEnds_;  // the rest of the step whose early try failed
  }
  stepEnds_ = now + (end.retry == Retry::Slowly ? longest_ : backoff_.next());
  mayCut_ = end.retry == Retry::Soon && !end.serverAnswered;
  earlyTaken_ = false;
  if (wasCancelled && mayCut_) {
    earlyTaken_ = true;
    early_ = true;
    return now;
  }
  return stepEnds_;
}

bool RetrySchedule::newsWhileWaiting(Clock::time_point now) {
  if (!waiting_ || !mayCut_ || earlyTaken_ || now >= stepEnds_) return false;
  earlyTaken_ = true;
  early_ = true;
  return true;
}

bool RetrySchedule::newsWhileStalled(bool sounding) {
  if (waiting_ || cancelled_) return false;
  if (sounding) early_ = false;  // it played: no longer a try that news may not cut
  if (early_) return false;
  cancelled_ = true;
  return true;
}

}  // namespace radiolist::audio
