#pragma once
// The engine's diagnostic lines: decoding ("decode"), the sound output ("output") and the rest of
// the engine, its sources, time shift and song files ("engine").

#include "playback/log/log.h"

namespace radiolist::audio {

inline constexpr log::Domain kDecodeLog{"decode", 1};
inline constexpr log::Domain kOutputLog{"output", 2};
inline constexpr log::Domain kEngineLog{"engine", 3};

}  // namespace radiolist::audio
