// Levelling heard at the sink: two mounts of the same pink noise 16 dB apart (test-servers.sh),
// played through the library and measured on the recording with libebur128. The recording is
// the sink's mono downmix, so its levels read about 3 LU below the stereo target.
//
// With RADIOLIST_LOUDNESS_CSV=DIR, it also writes the gain heard over the first 60 s of the
// quiet station played for the first and the second time into DIR/gain-first.csv and
// DIR/gain-second.csv (seconds,gain dB: tools/gain_plot draws them).
#include <ebur128.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "playback/engine/shutdown.h"
#include "support/listening_test.h"

namespace {

using namespace std::chrono_literals;
using radiolist::test::SinkRecorder;
using radiolist::test::startLikeTheWindow;

double loudness(std::span<const float> samples) {
  ebur128_state* st = ebur128_init(1, SinkRecorder::kSampleRate, EBUR128_MODE_I);
  ebur128_add_frames_float(st, samples.data(), samples.size());
  double lufs = -HUGE_VAL;
  ebur128_loudness_global(st, &lufs);
  ebur128_destroy(&st);
  return lufs;
}

class LoudnessServerTest : public radiolist::test::ListeningTest {
 protected:
  void SetUp() override {
    ListeningTest::SetUp();
    memory_ = std::filesystem::temp_directory_path() /
              ("rl-loudness-" + std::to_string(::getpid()) + ".tsv");
    std::filesystem::remove(memory_);
    radiolist::audio::setLoudnessFile(memory_);
  }
  void TearDown() override {
    ListeningTest::TearDown();
    radiolist::audio::setLevelLoudness(true);
    std::filesystem::remove(memory_);
  }
  // Plays `mount` for `seconds` from a fresh start; what the sink heard.
  std::vector<float> play(const char* mount, double seconds) {
    const auto from = recorder().position();
    startLikeTheWindow(servers().mountUrl(servers().value(mount)));
    recorder().waitForPosition(
        from + static_cast<std::uint64_t>(seconds * SinkRecorder::kSampleRate),
        std::chrono::milliseconds(static_cast<int>(seconds * 1000)) + 10s);
    BASS_Free();
    return recorder().since(from);
  }
  // Loudness of the recording from `from` to `to` seconds.
  static double between(const std::vector<float>& heard, double from, double to) {
    const auto at = [&](double s) {
      return std::min(heard.size(), static_cast<std::size_t>(s * SinkRecorder::kSampleRate));
    };
    return loudness(std::span(heard).subspan(at(from), at(to) - at(from)));
  }
  static float peak(const std::vector<float>& heard) {
    float top = 0;
    for (const float s : heard) top = std::max(top, std::abs(s));
    return top;
  }
  std::filesystem::path memory_;
};

TEST_F(LoudnessServerTest, TwoStations16DbApartSoundAlikeAndOffLeavesThemApart) {
  const float ceiling = std::pow(10.0f, -1.0f / 20);
  const auto loud1 = play("MOUNT_PINKLOUD_MP3", 12.5);
  const auto quiet1 = play("MOUNT_PINKQUIET_MP3", 12.5);
  const double loud = between(loud1, 10.5, 12.5), quiet = between(quiet1, 10.5, 12.5);
  EXPECT_NEAR(loud, quiet, 1.0);
  EXPECT_NEAR(quiet, -18.0 - 3.0, 1.5);
  EXPECT_LT(peak(loud1), ceiling);
  EXPECT_LT(peak(quiet1), ceiling);
  // Heard before (the loud one's source is gone by now): at its gain from the first second.
  const auto loud2 = play("MOUNT_PINKLOUD_MP3", 4);
  EXPECT_NEAR(between(loud2, 1, 4), quiet, 1.0);
  EXPECT_LT(peak(loud2), ceiling);

  radiolist::audio::setLevelLoudness(false);
  const double loudOff = between(play("MOUNT_PINKLOUD_MP3", 4), 1, 4);
  const double quietOff = between(play("MOUNT_PINKQUIET_MP3", 4), 1, 4);
  EXPECT_NEAR(loudOff - quietOff, 16.0, 1.0);
  std::printf("heard (mono LUFS): on %.1f / %.1f after 10 s, second play %.1f; off %.1f / %.1f\n",
              loud, quiet, between(loud2, 1, 4), loudOff, quietOff);

  const char* csv = std::getenv("RADIOLIST_LOUDNESS_CSV");
  if (csv == nullptr) return;
  radiolist::audio::setLevelLoudness(true);
  std::this_thread::sleep_for(6s);   // the quiet source, warm, is closed: both plays start afresh
  std::filesystem::remove(memory_);  // after its closing wrote it
  const auto first = play("MOUNT_PINKQUIET_MP3", 60);
  std::this_thread::sleep_for(6s);
  const auto second = play("MOUNT_PINKQUIET_MP3", 60);
  for (const auto& [name, heard] : {std::pair{"first", &first}, std::pair{"second", &second}}) {
    std::ofstream out(std::string(csv) + "/gain-" + name + ".csv");
    out << "seconds,gain dB\n";
    for (double t = 0.5; t <= 60; t += 0.5)  // momentary loudness against the station's own
      out << t << ',' << between(*heard, t - 0.4, t) - quietOff << '\n';
  }
}

}  // namespace
