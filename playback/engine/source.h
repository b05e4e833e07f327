#pragma once
// One address's pipeline: its network stream, the decoder thread and the voice the mixer reads.
// The engine's channels share a source (the general and the AAC creation of one address), and a
// source outlives its channels for a while after BASS_Free so that a new creation of the same
// address can take it over.
//
// Threads: made and started by the engine; the decoder runs on the source's own thread. The
// destructor stops and joins that thread, so it must not run on the UI thread: the engine
// hands finished sources to its janitor thread.

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "playback/engine/decoder.h"
#include "playback/engine/mixer.h"
#include "playback/net/http_stream.h"

namespace radiolist::audio {

class Source {
 public:
  // About 1.5 s of output: together with the stream's byte buffer this bounds a source's memory
  // (512 KiB here) whatever the server sends.
  static constexpr std::size_t kRingFrames = 1 << 16;

  Source(std::string url, std::shared_ptr<net::HttpStream> stream);
  ~Source();
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;

  void startDecoder();

  [[nodiscard]] const std::string& url() const { return url_; }
  [[nodiscard]] Voice& voice() { return voice_; }
  [[nodiscard]] const Voice& voice() const { return voice_; }
  [[nodiscard]] net::HttpStream& stream() { return *stream_; }
  // True once the decoder has stopped for good (stream over, or not decodable).
  [[nodiscard]] bool finished() const { return finished_.load(std::memory_order_acquire); }

  // Engine bookkeeping, guarded by the engine's lock: which creation kinds have a channel here.
  bool hasGeneral = false;
  bool hasAac = false;

 private:
  const std::string url_;
  const std::shared_ptr<net::HttpStream> stream_;
  Voice voice_{kRingFrames};
  std::atomic<bool> finished_{false};
  std::jthread decoder_;  // last member: stopped and joined first
};

}  // namespace radiolist::audio
