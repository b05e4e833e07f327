#pragma once
// Turns a stream's audio bytes into 44100 Hz stereo float frames in a voice's ring.
//
// Runs on the source's decoder thread (decodeStream blocks until the end). The only shared state
// it touches is the voice: it publishes the probed family and is the ring's producer.

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "playback/engine/demuxer_choice.h"
#include "playback/engine/family.h"
#include "playback/engine/ffmpeg_util.h"
#include "playback/engine/feed.h"
#include "playback/engine/loudness.h"
#include "playback/engine/mixer.h"
#include "playback/net/http_stream.h"

namespace radiolist::audio {

struct DecodeSummary {
  Family family = Family::Undecided;
  std::string container;  // demuxer name, "" when probing failed
  std::string codec;
  std::size_t framesOut = 0;  // frames written to the ring
  std::size_t badPackets = 0;
};

struct DecodeHooks {
  // Titles carried inside the audio (Ogg comments, ID3 in HLS segments).
  std::function<void(SongTitle)> onTitle;
  // The first moment rises from silence: the connection joins a stream at an arbitrary byte.
  bool fadeIn = false;
  // Called once, when the connection's first decoded frames reach the ring.
  std::function<void()> onAudio;
  // Measures the decoded audio and, while *levelOn, brings it to the common loudness (on the
  // way into the ring). None: the audio goes in as decoded.
  Leveller* level = nullptr;
  const std::atomic<bool>* levelOn = nullptr;
  std::mutex* levelGuard = nullptr;  // held around each use of `level`, when given
  // Each packet of the audio stream, before it is decoded: whether it is decoded here.
  enum class Route {
    Decode,
    // After packets that were not: the decoder starts afresh, fed `prime()`'s packets first
    // (those before this one, whose sound is dropped) so that it carries on without a seam.
    DecodeAfterGap,
    // Another producer plays it (from the song buffer); it counts as audio that arrived.
    Skip,
  };
  std::function<Route(const AVPacket&, const AVStream&)> onPacket;
  std::function<std::vector<PacketPtr>()> prime;
  // After each packet that was decoded here: the frames of it that reached the ring, and whether
  // that was all of them (writing stops at once when `divert` is set).
  std::function<void(std::size_t frames, bool whole)> afterPacket;
  const std::atomic<bool>* divert = nullptr;
  // Set for an HLS playlist: its effective address (the base of its segments' addresses) and
  // how every further request of the demuxer is made.
  std::string hlsUrl;
  std::function<std::shared_ptr<net::HttpStream>(const std::string& url,
                                                 std::optional<net::ByteRange> range)>
      openRequest;
};

// Probes the feed's bytes (with the response's content type as a hint), then decodes into
// voice.ring until the body ends or fails, or `stop` is requested; waits while the ring is full.
// The first decodable stream decides voice.family if it is still Undecided; a failure leaves the
// voice alone and says Unplayable in the summary.
DecodeSummary decodeConnection(Feed& feed, std::string_view contentType, Voice& voice,
                               std::stop_token stop, const DecodeHooks& hooks);

// One connection, start to end: as decodeConnection, and a failure marks the voice Unplayable.
DecodeSummary decodeStream(net::HttpStream& stream, Voice& voice, std::stop_token stop);

}  // namespace radiolist::audio
