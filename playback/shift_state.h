#pragma once
// Where a channel's listener is in its stream's recent past: paused, behind live, or live.

#include <cstdint>

namespace radiolist {

struct ShiftState {
  bool paused = false;   // silent, still receiving
  bool behind = false;   // heard from the kept past (paused or not), not live
  bool canSeek = false;  // something is kept to go back to
  // On the stream's own clock: microseconds of audio since the channel began to be received.
  std::int64_t positionUs = 0;     // what is heard
  std::int64_t oldestUs = 0;       // as far back as one may go
  std::int64_t liveUs = 0;         // as far forward: a move there or past it goes live
  std::uint32_t delaySeconds = 0;  // behind live, 0 when live
  friend bool operator==(const ShiftState&, const ShiftState&) = default;
};

}  // namespace radiolist
