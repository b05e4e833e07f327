#pragma once
// Figures about the process-wide library behind bass.h, for benchmarks. Not part of the
// program's interface.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "playback/bass.h"

namespace radiolist::audio {

// Underruns of the output since the last BASS_Init that (re)opened it.
std::uint64_t processOutputUnderruns();

// What a stream handle's source took from the network and keeps.
struct StreamFigures {
  std::uint64_t bodyBytes = 0;  // body bytes its current connection received
  std::size_t songBytes = 0;    // what its song buffer keeps, as it counts it against its bound
  std::int64_t receivedUs = 0;  // where the newest packet kept ends on the buffer's clock
};
// Nothing for a handle that plays nothing.
std::optional<StreamFigures> streamFigures(DWORD handle);

}  // namespace radiolist::audio
