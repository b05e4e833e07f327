#pragma once
// The network's diagnostic lines: connections, responses, transfers and the network's news.

#include "playback/log/log.h"

namespace radiolist::net {

inline constexpr log::Domain kNetLog{"net", 0};

}  // namespace radiolist::net
