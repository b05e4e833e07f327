#pragma once
// Whether an address answers now with audio (PlaybackControls::StreamPlays): for the program to
// check a station's new address before it offers it. One connection, held to a few seconds and a
// few hundred KiB whatever the server does, and cancelled at the end; nothing is played or kept.
//
// True only when a 2xx head came and the body's first bytes are an allowed audio container
// (probeAllowedFormat, with the response's content type) of which a packet decodes to sound. A
// playlist, an HLS playlist or a web page is not followed: the answer is false, and says so in
// the log (one line per check, on the engine's domain, with the verdict and why).
//
// Threads: blocks its caller up to `deadline` (and at most half a second more while a body of
// junk is paced as the decoder paces it): a worker's thread, never the window's. Any number of
// checks may run at once.

#include <chrono>
#include <cstddef>
#include <stop_token>
#include <string>

#include "playback/engine/source.h"

namespace radiolist::audio {

struct StreamCheckLimits {
  std::size_t maxBytes = 256 * 1024;         // of the body read
  std::chrono::milliseconds deadline{8000};  // from the start to the verdict, in all
};

// `open` starts the connection (held to public addresses when `reach` says so; nullptr: no
// connection may be made, and the answer is false). `stop` (the engine's end) cuts it short.
[[nodiscard]] bool streamPlays(const StreamOpener& open, const std::string& url, net::Reach reach,
                               const std::stop_token& stop, StreamCheckLimits limits = {});

}  // namespace radiolist::audio
