#pragma once
// Figures about the process-wide library behind bass.h, for benchmarks. Not part of the
// program's interface.

#include <cstdint>

namespace radiolist::audio {

// Underruns of the output since the last BASS_Init that (re)opened it.
std::uint64_t processOutputUnderruns();

}  // namespace radiolist::audio
