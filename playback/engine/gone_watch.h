#pragma once
// Whether a source's address looks gone for good (PlaybackEvent::Kind::Gone), judged after each
// of its connection attempts, so that the program may look for where the station went. Pure: the
// source's decoder thread keeps one and tells its channels what it says (ChannelNews::gone).
//
// Only the address the user gave is judged, and by the attempt's own connection to it:
// - An address that has not played yet is gone when that connection was answered 404 or 410, or
//   its host name did not resolve (the source gives up on it at once, as on any failure). When
//   the address answered with a playlist, it leads nowhere only if every entry tried failed so
//   too (a station's .pls naming a stream server that moved): gone, for the first entry's reason.
//   An entry that answered, or was not tried (off limits, the attempt's requests used up), keeps
//   it from counting as gone. A web page's candidates are guesses read from its markup: their
//   failing says nothing of the page, which answered.
// - An address that played before is gone after kAttemptsWithoutAudio attempts in a row without
//   audio, whatever each failed on (it keeps trying); audio starts the count over, and a later
//   run tells again. A 410 of its own connection (said to be gone for good: it is not tried
//   again) tells NotFound at once.

#include <optional>

#include "playback/net/http_stream.h"
#include "playback/playback_controls.h"

namespace radiolist::audio {

// Why a failed connection says its address is gone: a 404 or 410 answer, or no such host name.
[[nodiscard]] std::optional<StreamGone> goneBy(const net::StreamStats& stats);

// The entries of a playlist the address answered with, as they are tried.
class PlaylistEntriesGone {
 public:
  // An entry was tried and did not play; `ended` is its connection's end.
  void tried(const net::StreamStats& ended);
  // Something kept an entry from being tried, or one answered: the playlist leads somewhere.
  void leadsSomewhere() { allGone_ = false; }
  // Gone when at least one entry was tried and every one was gone (the first one's reason).
  [[nodiscard]] std::optional<StreamGone> verdict() const {
    return allGone_ ? first_ : std::nullopt;
  }

 private:
  std::optional<StreamGone> first_;
  bool allGone_ = true;
};

class GoneWatch {
 public:
  static constexpr int kAttemptsWithoutAudio = 10;

  struct Attempt {
    bool played = false;  // it decoded audio
    // The end of the attempt's own connection when it went to the address itself; nullptr when
    // it went elsewhere (the stream a page named).
    const net::StreamStats* own = nullptr;
    // The address answered with a playlist: what its entries said.
    std::optional<StreamGone> entries;
  };

  // Audio came: the count starts over.
  void audio() {
    playedBefore_ = true;
    withoutAudio_ = 0;
  }
  // An attempt ended: the reason to tell now, nullopt for nothing new.
  [[nodiscard]] std::optional<StreamGone> attemptEnded(const Attempt& attempt);

 private:
  bool playedBefore_ = false;
  int withoutAudio_ = 0;
};

}  // namespace radiolist::audio
