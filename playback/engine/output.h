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
  // Whether any voice may sound now (a channel plays, not paused). Unwanted, the output stops
  // asking the mixer for audio a moment later (it would only render silence, waking its thread
  // a hundred times a second), and after `release` of that lets go of the stream at the server;
  // wanted again, it goes on at once. Does not wait.
  virtual void setWanted(bool wanted) { (void)wanted; }
  // Sound is likely to be wanted soon (a channel is about to be made): a stream let go of is made
  // again now, still silent, so that the play finds it ready. Does not wait.
  virtual void prepare() {}
};

// How long an unwanted output keeps its stream at the server, silent, before letting go of it.
inline constexpr std::chrono::milliseconds kOutputReleaseAfter{20'000};

// Connects to PulseAudio (PULSE_SERVER or the default server, never spawning one) and starts a
// 44100 Hz stereo stream fed by `mixer`. Never waits for the server: nullptr only when no server
// accepts a connection at all; otherwise the handshake goes on in the background and the sound
// starts when it is done. An output whose server has not answered within `timeout` turns
// unhealthy. It starts unwanted (Output::setWanted), its stream silent.
std::unique_ptr<Output> openPulseOutput(Mixer& mixer, std::chrono::milliseconds timeout,
                                        std::chrono::milliseconds release = kOutputReleaseAfter);

}  // namespace radiolist::audio
