#pragma once
// The program's own diagnostic lines, above the audio library: the window's additions, the
// desktop side, the program's start.

#include "playback/log/log.h"

namespace radiolist {

inline constexpr log::Domain kDesktopLog{"desktop", 4};

}  // namespace radiolist
