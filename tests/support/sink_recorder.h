// Records what is played into the test servers' null sink, so a test can check by ear: "440 Hz
// dominates", "silence", "880 Hz present, 440 absent" (see signal_analysis.h).
//
// It runs `parec -d <sink>.monitor --raw --format=s16le --rate=44100 --channels=1` against the
// private PulseAudio daemon in a child process and reads the child's stdout on its own thread
// (non-blocking reads). The monitor mixes every stream playing into the sink down to mono and
// delivers silence while nothing plays, so the recording advances in real time from start() on.
// It keeps the most recent `keepSeconds` of audio.
//
// The shared sink hears every server test of the build directory; CTest may run several at once.
// A test that plays and listens should either carry RESOURCE_LOCK radiolist_sink or use a
// PrivateSink.
//
//   SinkRecorder rec(servers());          // inside a ServerTest
//   ASSERT_EQ(rec.start(), "");
//   ... make the code under test play http://.../tone440.mp3 ...
//   auto heard = rec.waitFor(std::chrono::milliseconds(200), std::chrono::seconds(10),
//       [](std::span<const float> s) { return radiolist::test::toneShare(s, 440, 44100) > 0.5; });
//   ASSERT_TRUE(heard) << "no 440 Hz within 10 s";
//
// Thread safety: all methods may be called from any thread; the reader thread is internal.
// Timing: parec asks for 20 ms of latency; what the sink plays reaches the recording about
// 20-50 ms later.
#pragma once

#include "support/child_process.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace radiolist::test {

class TestServers;

// A null sink of one's own on the test PulseAudio daemon, for a test that must not hear (or be
// heard by) server tests running in parallel: exportAsDefault() sets PULSE_SINK, which libpulse
// clients of this process and its children (paplay, the code under test) use when they name no
// device, and SinkRecorder(servers, sink) records its monitor. The sink is unloaded on
// destruction. Construction never throws; error() tells whether it worked.
class PrivateSink {
 public:
  explicit PrivateSink(const TestServers& servers);
  ~PrivateSink();
  PrivateSink(const PrivateSink&) = delete;
  PrivateSink& operator=(const PrivateSink&) = delete;

  [[nodiscard]] const std::string& error() const { return error_; }  // "" when loaded
  [[nodiscard]] const std::string& name() const { return name_; }    // e.g. "rl_test_4711_1"
  [[nodiscard]] std::string monitorSource() const { return name_ + ".monitor"; }
  [[nodiscard]] const std::string& pulseServer() const { return pulseServer_; }
  // Sets PULSE_SINK to this sink in the process environment (and restores nothing: call
  // unsetenv("PULSE_SINK") yourself if later code of the same process needs the default).
  void exportAsDefault() const;

 private:
  std::string pulseServer_;
  std::string name_;
  std::string module_;  // index from pactl load-module, "" if not loaded
  std::string error_;
};

class SinkRecorder {
 public:
  static constexpr int kSampleRate = 44100;

  // Records the servers' shared sink, radiolist_test.
  explicit SinkRecorder(const TestServers& servers, int keepSeconds = 60);
  // Records a private sink.
  explicit SinkRecorder(const PrivateSink& sink, int keepSeconds = 60);
  // pulseServer as in PULSE_SERVER ("unix:/path/native"); source e.g. "radiolist_test.monitor".
  SinkRecorder(std::string pulseServer, std::string source, int keepSeconds = 60);
  ~SinkRecorder();  // stops
  SinkRecorder(const SinkRecorder&) = delete;
  SinkRecorder& operator=(const SinkRecorder&) = delete;

  // Starts parec and waits until its first audio arrives (up to 5 s). Returns "" on success,
  // else why not. Calling it again while recording does nothing.
  [[nodiscard]] std::string start();
  // Stops parec and the reader; the recording stays readable.
  void stop();

  // Frames (= samples, mono) received since start(); a position in the recording.
  [[nodiscard]] std::uint64_t position() const;
  // Blocks until position() >= target or the timeout passes; returns whether it got there.
  bool waitForPosition(std::uint64_t target, std::chrono::milliseconds timeout) const;
  // Waits until `duration` more audio has been recorded (from now); false on timeout.
  bool record(std::chrono::milliseconds duration) const;

  // The last `duration` of the recording (less if not that much is kept).
  [[nodiscard]] std::vector<float> last(std::chrono::milliseconds duration) const;
  // Everything recorded from `from` (a position()) on, as far as it is still kept.
  [[nodiscard]] std::vector<float> since(std::uint64_t from) const;

  // Evaluates `heard` on the last `window` of audio each time new audio arrives, until it
  // returns true (then: the time waited) or `timeout` passes (then: nullopt). The first
  // evaluation waits until a full window recorded after this call is available, so audio from
  // before the call cannot satisfy it.
  std::optional<std::chrono::milliseconds> waitFor(
      std::chrono::milliseconds window, std::chrono::milliseconds timeout,
      const std::function<bool(std::span<const float>)>& heard) const;

  [[nodiscard]] static std::uint64_t frames(std::chrono::milliseconds duration) {
    return static_cast<std::uint64_t>(duration.count()) * kSampleRate / 1000;
  }

 private:
  void readLoop(int fd);

  const std::string pulseServer_;
  const std::string source_;
  const std::size_t keepFrames_;

  // Owned by the caller's thread (start/stop).
  std::unique_ptr<ChildProcess> parec_;
  std::thread reader_;

  // Guarded by mutex_: written by the reader thread, read by everyone.
  mutable std::mutex mutex_;
  mutable std::condition_variable arrived_;
  std::vector<std::int16_t> kept_;  // the newest samples, at most 2 * keepFrames_
  std::uint64_t position_ = 0;      // frames received in total; kept_.back() is frame position_-1
  bool stopping_ = false;
  bool eof_ = false;
};

}  // namespace radiolist::test
