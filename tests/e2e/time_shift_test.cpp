// Pausing live radio, going back and catching up, on the real program over a private session
// bus. The steps mount changes its tone and title every 15 s, so what the sink hears tells which
// moment of the stream plays, and the title shown can be held against it.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/signal_analysis.h"
#include "support/sink_recorder.h"
#include "support/test_servers.h"
#include "tests/e2e/bus_program.h"

using namespace std::chrono_literals;
namespace rt = radiolist::test;
using rt::kStepFrequencies;
using rt::SinkRecorder;
using rt::stepTitle;

namespace {

constexpr std::int64_t kStepUs = std::int64_t{rt::kStepSeconds} * 1'000'000;
constexpr int kSteps = static_cast<int>(kStepFrequencies.size());

// The step whose tone dominates `s`, or -1 (silence, a change inside the window).
int stepOf(std::span<const float> s) {
  for (int i = 0; i < kSteps; ++i)
    if (rt::toneShare(s, kStepFrequencies[i], rt::e2e::kRate) > 0.5) return i;
  return -1;
}

struct StepChange {
  std::size_t offset;  // in the samples, to 50 ms
  int step;            // the step heard from there
};

// Where the heard step changes in `samples`.
std::vector<StepChange> stepChanges(std::span<const float> samples) {
  const std::size_t window = SinkRecorder::frames(100ms);
  const std::size_t hop = SinkRecorder::frames(50ms);
  std::vector<StepChange> changes;
  int last = -1;
  for (std::size_t i = 0; i + window <= samples.size(); i += hop) {
    const int step = stepOf(samples.subspan(i, window));
    if (step >= 0 && last >= 0 && step != last) changes.push_back({i + window / 2, step});
    if (step >= 0) last = step;
  }
  return changes;
}

std::int64_t microseconds(std::uint64_t frames) {
  return static_cast<std::int64_t>(frames) * 1'000'000 / SinkRecorder::kSampleRate;
}

// The feed's steps on the program's Position (the heard point, in µs of the stream since it
// began to be received): a step change heard at `changeAt`, `step` from there on.
struct Schedule {
  std::int64_t changeAt = 0;
  int step = 0;

  [[nodiscard]] std::int64_t intoStep(std::int64_t position) const {
    return ((position - changeAt) % kStepUs + kStepUs) % kStepUs;
  }
  [[nodiscard]] int stepAt(std::int64_t position) const {
    const std::int64_t whole = (position - changeAt - intoStep(position)) / kStepUs;
    return static_cast<int>(((step + whole) % kSteps + kSteps) % kSteps);
  }
};

class TimeShiftTest : public rt::e2e::BusProgramTest {
 protected:
  TimeShiftTest() : BusProgramTest("time-shift") {}
  [[nodiscard]] Channels channels() const override {
    return {"Steps\r\n", servers().stepsUrl() + "\r\n"};
  }

  // The number after the last `type ` in a dbus-send reply (-1 when there is none).
  static std::int64_t number(const std::string& reply, const std::string& type) {
    const auto at = reply.rfind(type + ' ');
    return at == std::string::npos ? -1 : std::stoll(reply.substr(at + type.size() + 1));
  }
  std::int64_t position() { return number(property("Position"), "int64"); }
  std::int64_t delay() {
    return number(send({"org.freedesktop.DBus.Properties.Get", "string:org.radiolist.Radiolist1",
                        "string:Delay"},
                       rt::e2e::kProgramPath),
                  "uint32");
  }
  void goLive() { send({"org.radiolist.Radiolist1.GoLive"}, rt::e2e::kProgramPath); }
  bool delayIs(std::int64_t seconds, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (delay() != seconds && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(100ms);
    return delay() == seconds;
  }
  // Metadata's xesam:title.
  std::string title() {
    const std::string reply = property("Metadata");
    const auto key = reply.find("\"xesam:title\"");
    const auto open = reply.find("string \"", key == std::string::npos ? reply.size() : key + 13);
    if (open == std::string::npos) return "(no title in " + reply + ")";
    return reply.substr(open + 8, reply.find('"', open + 8) - open - 8);
  }
  std::string trackId() {
    const std::string reply = property("Metadata");
    const auto open = reply.find("object path \"", reply.find("\"mpris:trackid\""));
    return open == std::string::npos
               ? ""
               : reply.substr(open + 13, reply.find('"', open + 13) - open - 13);
  }
  int heard() { return stepOf(recorder_->last(300ms)); }
  bool hear(int step, std::chrono::milliseconds timeout) {
    return recorder_
        ->waitFor(200ms, timeout, [step](std::span<const float> s) { return stepOf(s) == step; })
        .has_value();
  }
  // Waits until the sink hears the step that Position says is heard, which it returns; -1 when
  // it does not within `timeout`. After a jump Position tells the moment jumped to at once, the
  // sink hears it a moment later.
  int hearAsPositionSays(const Schedule& steps, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
      const std::int64_t at = position();
      const std::int64_t into = steps.intoStep(at);
      if (into > 500'000 && into < kStepUs - 700'000 && hear(steps.stepAt(at), 500ms))
        return steps.stepAt(at);
      std::this_thread::sleep_for(50ms);
    }
    return -1;
  }
  // Waits until the heard point is between `from` and `to` into its step.
  void waitIntoStep(const Schedule& steps, std::chrono::milliseconds from,
                    std::chrono::milliseconds to) {
    for (int i = 0; i < 100; ++i) {
      const std::int64_t into = steps.intoStep(position());
      if (into >= from.count() * 1000 && into <= to.count() * 1000) return;
      std::this_thread::sleep_for(std::chrono::microseconds(
          std::clamp<std::int64_t>((from.count() * 1000 - into + kStepUs) % kStepUs, 0, 200'000)));
    }
  }
};

// Live for 33 s, then 30 s back: the audio of 30 s ago (two steps back), Position 30 s less, a
// Seeked signal. Then live again (a position past live) and a 20 s pause: the paused moment plays
// on, 20 s behind, its title with it until the heard tone changes; GoLive catches up with the tone
// and title on air.
TEST_F(TimeShiftTest, GoingBackAndPausingPlayTheMomentLeftAndItsTitle) {
  startProgram();
  ASSERT_TRUE(recorder_->waitFor(200ms, 5s, [](std::span<const float> s) {
    return stepOf(s) >= 0;
  })) << "the steps channel is not heard";
  const std::uint64_t firstHeard = recorder_->position();
  EXPECT_TRUE(propertyContains("CanSeek", "true", 2s));
  ASSERT_TRUE(recorder_->waitForPosition(firstHeard + SinkRecorder::frames(33s), 40s));

  // Where the steps change in what was heard live, put on Position.
  const std::vector<StepChange> changes = stepChanges(recorder_->since(firstHeard));
  ASSERT_GE(changes.size(), 2u) << "33 s of the feed hold two changes of its tone";
  for (std::size_t i = 1; i < changes.size(); ++i)
    EXPECT_EQ(changes[i].step, (changes[i - 1].step + 1) % kSteps) << "a step was missed";
  const std::uint64_t before = recorder_->position();
  const std::int64_t positionNow = position();
  const std::uint64_t now = (before + recorder_->position()) / 2;
  const Schedule steps{positionNow - microseconds(now - firstHeard - changes.back().offset),
                       changes.back().step};

  // Two seconds or more from a change now and 30 s ago (the same place in the steps).
  waitIntoStep(steps, 2s, 13s);
  const int live = heard();
  const std::uint64_t seekAt = recorder_->position();
  const std::vector<float> ago = recorder_->since(seekAt - SinkRecorder::frames(30s));
  const int then = stepOf(std::span(ago).first(SinkRecorder::frames(300ms)));
  ASSERT_TRUE(live >= 0 && then >= 0 && then != live) << "heard " << live << ", 30 s ago " << then;
  const std::int64_t seekFrom = position();
  const auto seekStart = std::chrono::steady_clock::now();
  send({"org.mpris.MediaPlayer2.Player.Seek", "int64:-30000000"});
  EXPECT_TRUE(hear(then, 1500ms)) << "Seek(-30 s) plays " << kStepFrequencies[then]
                                  << " Hz as 30 s ago; heard step " << heard();
  const std::int64_t back = seekFrom +
                            std::chrono::duration_cast<std::chrono::microseconds>(
                                std::chrono::steady_clock::now() - seekStart)
                                .count() -
                            position();
  EXPECT_NEAR(static_cast<double>(back), 30e6, 2e6) << "Position goes back 30 s";
  const std::int64_t behind = delay();
  EXPECT_TRUE(behind >= 29 && behind <= 31) << "Delay " << behind;
  std::this_thread::sleep_for(300ms);  // time for the signal to reach the monitor
  std::string signals;
  rt::e2e::drain(monitor_->stdoutFd(), signals);
  EXPECT_NE(signals.find("member=Seeked"), std::string::npos);

  // A position past live plays live.
  send({"org.mpris.MediaPlayer2.Player.SetPosition", "objpath:" + trackId(),
        "int64:" + std::to_string(seekFrom + 60'000'000)});
  ASSERT_TRUE(delayIs(0, 2s)) << "SetPosition past live";
  ASSERT_GE(hearAsPositionSays(steps, 3s), 0) << "heard step " << heard();
  // Pause with 4.5 s or more of the step left, so that the change is heard soon after.
  waitIntoStep(steps, 2s, 10500ms);
  const int paused = steps.stepAt(position());
  ASSERT_TRUE(hear(paused, 1s)) << "Position is the heard point; heard step " << heard();
  const auto pausedAt = std::chrono::steady_clock::now();
  call("Pause");
  EXPECT_TRUE(listenFor(rt::e2e::silent, 1500ms)) << "Pause silences the output";
  EXPECT_TRUE(propertyContains("PlaybackStatus", "\"Paused\"", 2s));
  const std::uint64_t silentFrom = recorder_->position();
  std::this_thread::sleep_until(pausedAt + 20s);
  EXPECT_LT(rt::rms(recorder_->since(silentFrom)), 1e-3) << "silent while paused";

  call("Play");
  EXPECT_TRUE(hear(paused, 1s)) << "Play goes on with the paused moment's "
                                << kStepFrequencies[paused] << " Hz; heard step " << heard();
  const std::int64_t delayAfterPause = delay();
  EXPECT_TRUE(delayAfterPause >= 18 && delayAfterPause <= 23) << "Delay " << delayAfterPause;
  // Live the title went ahead of the tone; now it is the heard step's, 20 s after its time.
  EXPECT_TRUE(propertyContains("Metadata", stepTitle(kStepFrequencies[paused]), 1500ms)) << title();

  // The title changes with the heard tone: in the stream it comes 0.1-1.2 s after the change
  // (test_servers.h), the window reads it once a second, and the decoder is up to 1.5 s ahead of
  // the sink. Live it comes 3.9 s before the tone, as Icecast sends the new title as soon as its
  // audio, which the player then buffers.
  const int next = (paused + 1) % kSteps;
  const auto clock = [] { return std::chrono::steady_clock::now(); };
  std::optional<std::chrono::steady_clock::time_point> toneAt;
  std::optional<std::chrono::steady_clock::time_point> titleAt;
  const auto end = clock() + 15s;
  while (clock() < end && !(toneAt && titleAt) && !(toneAt && clock() > *toneAt + 3s)) {
    if (!toneAt && heard() == next) toneAt = clock();
    if (!titleAt && title() == stepTitle(kStepFrequencies[next])) titleAt = clock();
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_TRUE(toneAt.has_value()) << "the next step is never heard";
  ASSERT_TRUE(titleAt.has_value()) << "the title stays " << title();
  const auto titleLate = std::chrono::duration_cast<std::chrono::milliseconds>(*titleAt - *toneAt);
  EXPECT_GE(titleLate, -2s) << "the title goes ahead of the heard tone";
  EXPECT_LE(titleLate, 3s) << "the title lags the heard tone";

  goLive();
  EXPECT_TRUE(delayIs(0, 2s));
  const int onAir = hearAsPositionSays(steps, 3s);
  ASSERT_GE(onAir, 0) << "heard step " << heard();
  EXPECT_TRUE(propertyContains("Metadata", stepTitle(kStepFrequencies[onAir]), 3s)) << title();
}

}  // namespace
