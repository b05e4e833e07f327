#pragma once
// The sound output: one playback stream to the sound server, fed by the mixer.
//
// Threads: open and the methods come from the engine (under its lock). The output's own thread
// calls Mixer::render and nothing else of the engine.

#include <chrono>
#include <cstdint>
#include <memory>

#include "playback/engine/mixer.h"

namespace radiolist::audio {

class Output {
 public:
  virtual ~Output() = default;
  // False once the connection to the sound server broke, or did not come up in time. True while
  // it is still being made.
  [[nodiscard]] virtual bool healthy() const = 0;
  // Drops the audio already queued at the server, so that voices just silenced stop sounding
  // now rather than after the device buffer ran out. Does not wait.
  virtual void dropQueued() = 0;
  // How often the server ran out of audio to play since the output opened.
  [[nodiscard]] virtual std::uint64_t underruns() const { return 0; }
};

// Connects to PulseAudio (PULSE_SERVER or the default server, never spawning one) and starts a
// 44100 Hz stereo stream fed by `mixer`. Never waits for the server: nullptr only when no server
// accepts a connection at all; otherwise the handshake goes on in the background and the sound
// starts when it is done. An output whose server has not answered within `timeout` turns
// unhealthy.
std::unique_ptr<Output> openPulseOutput(Mixer& mixer, std::chrono::milliseconds timeout);

}  // namespace radiolist::audio
