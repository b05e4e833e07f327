// The sound output on a PulseAudio daemon of the test's own: unwanted, its stream is corked
// (the server stops asking for audio) and later let go of; wanted again, it sounds at once; a
// hint makes a released stream again, silent. What the server holds is read with pactl.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "playback/engine/mixer.h"
#include "playback/engine/output.h"
#include "support/child_process.h"
#include "support/private_pulse.h"
#include "support/signal_analysis.h"
#include "support/sink_recorder.h"

namespace radiolist::audio {
namespace {

using namespace std::chrono_literals;

// The "Corked:" line of each playback stream the server holds (true: corked).
std::vector<bool> streamsCorked(const std::string& server) {
  const auto result = test::runCommand(
      {{"pactl", "list", "sink-inputs"}, {{"PULSE_SERVER", server}, {"LC_ALL", "C"}}, true}, 5s);
  std::vector<bool> corked;
  if (result.exitCode != 0) return corked;
  for (std::size_t at = 0; (at = result.output.find("Corked: ", at)) != std::string::npos;) {
    at += 8;
    corked.push_back(result.output.compare(at, 3, "yes") == 0);
  }
  return corked;
}

template <typename F>
bool waitUntil(F f, std::chrono::milliseconds timeout = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!f()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

// Keeps a voice's ring full of a 440 Hz tone, from a thread of its own (the ring's producer).
class ToneFeeder {
 public:
  explicit ToneFeeder(Voice& voice)
      : thread_([this, &voice](std::stop_token stop) {
          std::vector<StereoFrame> block(1024);
          while (!stop.stop_requested()) {
            for (auto& frame : block) {
              const auto s =
                  static_cast<float>(0.25 * std::sin(2 * std::numbers::pi * 440 *
                                                     static_cast<double>(n_++) / kOutputRate));
              frame = {s, s};
            }
            std::size_t done = 0;
            while (done < block.size() && !stop.stop_requested()) {
              done += voice.ring.write(std::span(block).subspan(done));
              if (done < block.size()) std::this_thread::sleep_for(10ms);
            }
          }
        }) {}

 private:
  std::uint64_t n_ = 0;
  std::jthread thread_;
};

TEST(OutputIdle, UnwantedTheStreamIsCorkedThenLetGoOfAndWantedItSoundsAgain) {
  test::PrivatePulse pulse;
  ASSERT_EQ(pulse.error(), "");
  ASSERT_EQ(setenv("PULSE_SERVER", pulse.server().c_str(), 1), 0);
  test::SinkRecorder recorder(pulse.server(), pulse.monitorSource());
  ASSERT_EQ(recorder.start(), "");
  const auto hearsTone = [&] {
    return recorder
        .waitFor(200ms, 10s,
                 [](std::span<const float> s) {
                   return test::toneShare(s, 440, test::SinkRecorder::kSampleRate) > 0.5;
                 })
        .has_value();
  };

  Mixer mixer;
  Voice voice(1 << 14);
  voice.family.store(Family::General);
  voice.wantGeneral.store(true);
  ASSERT_TRUE(mixer.attach(&voice));
  ToneFeeder feeder(voice);
  constexpr auto kRelease = 1500ms;
  constexpr auto kAnswerWithin = 2500ms;
  const auto opened = std::chrono::steady_clock::now();
  auto output = openPulseOutput(mixer, kAnswerWithin, kRelease);
  ASSERT_NE(output, nullptr);

  // Opened with nothing to play: a silent stream, let go of after the release time.
  ASSERT_TRUE(waitUntil([&] { return streamsCorked(pulse.server()) == std::vector{true}; }));
  EXPECT_TRUE(waitUntil([&] { return streamsCorked(pulse.server()).empty(); }));
  // The server answered long ago: a stream let go of is no sign of a server that does not.
  std::this_thread::sleep_until(opened + kAnswerWithin + 500ms);
  EXPECT_TRUE(output->healthy());

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "from a released stream" : "from a corked one");
    output->setWanted(true);
    EXPECT_TRUE(waitUntil([&] { return streamsCorked(pulse.server()) == std::vector{false}; }));
    EXPECT_TRUE(hearsTone());

    output->setWanted(false);
    ASSERT_TRUE(waitUntil([&] { return streamsCorked(pulse.server()) == std::vector{true}; }));
    // Corked, the server asks for nothing: the mixer is not called and the ring stays full.
    const std::size_t before = voice.ring.consumed();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(voice.ring.consumed(), before);
    EXPECT_TRUE(output->healthy());
    if (round == 0) continue;  // the second round is wanted again while only corked
    EXPECT_TRUE(waitUntil([&] { return streamsCorked(pulse.server()).empty(); }));
  }

  // Wanted while released, the stream was gone: a hint makes it again, still silent.
  output->prepare();
  EXPECT_TRUE(waitUntil([&] { return streamsCorked(pulse.server()) == std::vector{true}; }));
  output->setWanted(true);
  EXPECT_TRUE(waitUntil([&] { return streamsCorked(pulse.server()) == std::vector{false}; }));
  EXPECT_TRUE(hearsTone());
  EXPECT_TRUE(output->healthy());

  output.reset();
  mixer.detach(&voice);
}

}  // namespace
}  // namespace radiolist::audio
