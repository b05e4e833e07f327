#include "playback/engine/gone_watch.h"

namespace radiolist::audio {

std::optional<StreamGone> goneBy(const net::StreamStats& stats) {
  if (stats.error == net::StreamError::HttpStatus &&
      (stats.httpStatus == 404 || stats.httpStatus == 410))
    return StreamGone::NotFound;
  if (stats.error == net::StreamError::Connect && stats.connectStep == net::ConnectStep::NameLookup)
    return StreamGone::NoSuchHost;
  return std::nullopt;
}

void PlaylistEntriesGone::tried(const net::StreamStats& ended) {
  const auto gone = goneBy(ended);
  if (!gone) {
    allGone_ = false;
    return;
  }
  if (!first_) first_ = gone;
}

std::optional<StreamGone> GoneWatch::attemptEnded(const Attempt& attempt) {
  if (attempt.played) {
    audio();
    return std::nullopt;
  }
  if (!playedBefore_) {
    if (attempt.own != nullptr) {
      if (const auto gone = goneBy(*attempt.own)) return gone;
    }
    return attempt.entries;
  }
  // Counted a step past the mark only: the eleventh attempt and those after tell nothing more.
  if (withoutAudio_ <= kAttemptsWithoutAudio) ++withoutAudio_;
  if (attempt.own != nullptr && attempt.own->error == net::StreamError::HttpStatus &&
      attempt.own->httpStatus == 410)
    return StreamGone::NotFound;
  if (withoutAudio_ == kAttemptsWithoutAudio) return StreamGone::NoAudio;
  return std::nullopt;
}

}  // namespace radiolist::audio
