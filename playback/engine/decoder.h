#pragma once
// Turns a stream's audio bytes into 44100 Hz stereo float frames in a voice's ring.
//
// Runs on the source's decoder thread (decodeStream blocks until the end). The only shared state
// it touches is the voice: it publishes the probed family and is the ring's producer.

#include <cstddef>
#include <stop_token>
#include <string>
#include <string_view>

#include "playback/engine/family.h"
#include "playback/engine/mixer.h"
#include "playback/net/http_stream.h"

namespace radiolist::audio {

// The demuxer that a response's content type names ("mp3", "aac", "ogg", ...), "" when it names
// none we trust. Parameters after ';' and case do not matter.
[[nodiscard]] std::string_view demuxerForContentType(std::string_view contentType);

// Which demuxer to open after probing the first bytes: the data's best guess when FFmpeg is sure
// of it (score above 25, its own retry threshold), else the content type's demuxer, else the
// guess once no more data will be probed. "" means: probe more data (or give up when `lastRound`).
[[nodiscard]] std::string_view chooseDemuxer(std::string_view probed, int score,
                                             std::string_view byContentType, bool lastRound);

struct DecodeSummary {
  Family family = Family::Undecided;
  std::string container;  // demuxer name, "" when probing failed
  std::string codec;
  std::size_t framesOut = 0;  // frames written to the ring
  std::size_t badPackets = 0;
};

// Probes `stream`, stores the family in voice.family (Unplayable on failure), then decodes into
// voice.ring until the stream ends or fails, or `stop` is requested. Waits while the ring is full.
DecodeSummary decodeStream(net::HttpStream& stream, Voice& voice, std::stop_token stop);

}  // namespace radiolist::audio
