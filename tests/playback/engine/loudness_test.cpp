#include <ebur128.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <vector>

#include "playback/engine/loudness.h"

namespace radiolist::audio {
namespace {

using Signal = std::vector<StereoFrame>;

// Pink noise (Kellet's filter), scaled so its sample peak is `peak`.
Signal pinkNoise(double seconds, float peak) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> white(-1.0f, 1.0f);
  Signal out(static_cast<std::size_t>(seconds * kOutputRate));
  float b0 = 0, b1 = 0, b2 = 0, top = 1e-9f;
  for (StereoFrame& f : out) {
    const float w = white(random);
    b0 = 0.99765f * b0 + w * 0.0990460f;
    b1 = 0.96300f * b1 + w * 0.2965164f;
    b2 = 0.57000f * b2 + w * 1.0526913f;
    f.left = f.right = b0 + b1 + b2 + w * 0.1848f;
    top = std::max(top, std::abs(f.left));
  }
  for (StereoFrame& f : out) f.left = f.right = f.left * peak / top;
  return out;
}

Signal sine(double hz, double phase, float peak) {
  Signal out(kOutputRate * 2);
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i].left = out[i].right =
        peak *
        static_cast<float>(std::sin(2 * M_PI * hz * static_cast<double>(i) / kOutputRate + phase));
  return out;
}

struct Measure {
  double lufs;
  double truePeakDb;
  float samplePeak;
};

Measure measure(const StereoFrame* frames, std::size_t n) {
  ebur128_state* st = ebur128_init(2, kOutputRate, EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
  ebur128_add_frames_float(st, &frames->left, n);
  Measure m{};
  ebur128_loudness_global(st, &m.lufs);
  double tp = 0;
  ebur128_true_peak(st, 0, &tp);
  m.truePeakDb = 20 * std::log10(tp);
  ebur128_destroy(&st);
  for (std::size_t i = 0; i < n; ++i)
    m.samplePeak = std::max(m.samplePeak, std::abs(frames[i].left));
  return m;
}

// The gain every 0.1 s over `seconds` of audio whose integrated loudness is `lufs(t)`.
std::vector<double> run(LevelControl& c, double seconds,
                        const std::function<double(double)>& lufs) {
  std::vector<double> gains;
  for (double t = 0.1; t <= seconds + 1e-9; t += 0.1) gains.push_back(c.advance(0.1, lufs(t), t));
  return gains;
}

TEST(LevelControl, FirstPlayWaitsThenSettlesAndFollowsSlowlyOutsideTheDeadBand) {
  struct Case {
    const char* name;
    std::optional<double> remembered;
    std::function<double(double)> lufs;
    double firstGain;  // before any measure
    double at10s;
    double at60s;
  };
  const Case cases[] = {
      {"quiet station", std::nullopt, [](double) { return -27.0; }, 0.0, 9.0, 9.0},
      {"clamped up", std::nullopt, [](double) { return -40.0; }, 0.0, 12.0, 12.0},
      {"clamped down", std::nullopt, [](double) { return 0.0; }, 0.0, -12.0, -12.0},
      {"remembered", -24.0, [](double) { return -24.0; }, 6.0, 6.0, 6.0},
      // Settled at +6, then 4 LU louder: moves to the dead band's edge, not past it.
      {"gets louder", std::nullopt, [](double t) { return t < 20 ? -24.0 : -20.0; }, 0.0, 6.0, 3.0},
      {"within the dead band", -24.0, [](double) { return -23.1; }, 6.0, 6.0, 6.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LevelControl control(c.remembered);
    EXPECT_DOUBLE_EQ(control.gainDb(), c.firstGain);
    const auto gains = run(control, 60, c.lufs);
    for (std::size_t i = 0; i < 50; ++i) EXPECT_NEAR(gains[i], c.firstGain, 1e-9) << i;  // < 5 s
    EXPECT_NEAR(gains[99], c.at10s, 1e-6);
    EXPECT_NEAR(gains.back(), c.at60s, 1e-6);
    for (std::size_t i = 100; i < gains.size(); ++i)
      EXPECT_LE(std::abs(gains[i] - gains[i - 1]), 0.05 + 1e-9) << i;  // 0.5 dB/s
  }
}

TEST(TruePeakLimiter, RaisedFullScaleStaysUnderTheCeilingAndQuietPassesUntouched) {
  struct Case {
    const char* name;
    Signal signal;
    float gain;
  };
  const Case cases[] = {
      {"pink noise", pinkNoise(3, 1.0f), 3.98f},
      {"1 kHz", sine(1000, 0, 1.0f), 3.98f},
      {"peaks between samples", sine(kOutputRate / 4.0, M_PI / 4, 1.0f), 3.98f},
      {"quiet", sine(1000, 0, 0.1f), 1.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Signal s = c.signal;
    for (StereoFrame& f : s) f = {f.left * c.gain, f.right * c.gain};
    TruePeakLimiter limiter;
    for (std::size_t i = 0; i < s.size(); i += 1000)
      limiter.process(std::span(s).subspan(i, std::min<std::size_t>(1000, s.size() - i)), true);
    const Measure m = measure(s.data(), s.size());
    EXPECT_LT(m.truePeakDb, TruePeakLimiter::kCeilingDb);
    EXPECT_LT(m.samplePeak, std::pow(10.0f, -1.0f / 20));
    if (c.gain == 1.0f) {
      for (std::size_t i = TruePeakLimiter::kLatency; i < s.size(); ++i)
        ASSERT_EQ(s[i].left, c.signal[i - TruePeakLimiter::kLatency].left) << i;
    } else {
      EXPECT_GT(m.truePeakDb, TruePeakLimiter::kCeilingDb - 1.5);  // limited, not silenced
    }
  }
}

TEST(Leveller, BringsAQuietStationToTheTargetAndOffLeavesItAsDecoded) {
  for (const bool on : {true, false}) {
    SCOPED_TRACE(on);
    Signal s = pinkNoise(12, 0.2f);  // about -25 LUFS
    const double before = measure(s.data() + 10 * kOutputRate, 2 * kOutputRate).lufs;
    Leveller leveller(std::nullopt);
    for (std::size_t i = 0; i < s.size(); i += 1152)
      leveller.process(std::span(s).subspan(i, std::min<std::size_t>(1152, s.size() - i)), on);
    const Measure last = measure(s.data() + 10 * kOutputRate, 2 * kOutputRate);
    EXPECT_NEAR(*leveller.integrated(), before, 0.5);  // measured as decoded either way
    EXPECT_NEAR(last.lufs, on ? LevelControl::kTargetLufs : before, 1.0);
    EXPECT_LT(last.truePeakDb, -1.0);
  }
}

// The mean and the RMS about it of the left channel of frames [from, from + n).
std::pair<double, double> dcAndAcRms(const Signal& s, std::size_t from, std::size_t n) {
  double sum = 0;
  for (std::size_t i = from; i < from + n; ++i) sum += s[i].left;
  const double mean = sum / static_cast<double>(n);
  double power = 0;
  for (std::size_t i = from; i < from + n; ++i) power += (s[i].left - mean) * (s[i].left - mean);
  return {mean, std::sqrt(power / static_cast<double>(n))};
}

TEST(Leveller, RaisesTheProgrammeButNeitherItsDcNorWhatTheMeterHearsAsSilence) {
  struct Case {
    const char* name;
    float dc;
    float tonePeak;  // of a 1 kHz tone over the DC
    std::optional<double> remembered;
    bool raised;  // the tone comes out louder
  };
  const Case cases[] = {
      {"DC under a -40 dBFS tone", 0.5f, 0.01f, std::nullopt, true},
      {"negative DC under a -40 dBFS tone, remembered", -0.4f, 0.01f, -40.0, true},
      {"DC alone, with a remembered gain", 0.5f, 0.0f, -40.0, false},
      {"a -100 dBFS tone over DC, remembered", 0.3f, 1e-5f, -40.0, false},
      {"a -100 dBFS tone alone, remembered", 0.0f, 1e-5f, -40.0, false},
  };
  constexpr std::size_t kLast = 2 * kOutputRate;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Signal s(15 * kOutputRate);
    for (std::size_t i = 0; i < s.size(); ++i)
      s[i].left = s[i].right =
          c.dc + c.tonePeak * static_cast<float>(std::sin(2 * M_PI * 1000.0 *
                                                          static_cast<double>(i) / kOutputRate));
    const Signal in = s;
    Leveller leveller(c.remembered);
    for (std::size_t i = 0; i < s.size(); i += 1152)
      leveller.process(std::span(s).subspan(i, std::min<std::size_t>(1152, s.size() - i)), true);
    // The limiter delays the audio: the input's last stretch is compared, shifted alike.
    const std::size_t from = s.size() - kLast;
    const auto [dcIn, acIn] = dcAndAcRms(in, from - TruePeakLimiter::kLatency, kLast);
    const auto [dcOut, acOut] = dcAndAcRms(s, from, kLast);
    EXPECT_NEAR(dcOut, dcIn, 0.01) << "the DC passes as it came";
    if (c.raised) {
      EXPECT_NEAR(20 * std::log10(acOut / acIn), LevelControl::kMaxGainDb, 0.5);
      // The meter heard the tone, not the DC.
      const Measure tone = measure(in.data(), in.size());  // the DC does not count here either
      EXPECT_NEAR(*leveller.integrated(), tone.lufs, 0.5);
    } else {
      EXPECT_LE(acOut, acIn * 1.01 + 1e-9) << "silence to the meter is not raised";
    }
    for (const StereoFrame& f : s) ASSERT_LT(std::abs(f.left), std::pow(10.0f, -1.0f / 20));
  }
}

class LoudnessMemoryTest : public testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/rl-loudness-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    path_ = dir_ + "/state/radiolist/loudness.tsv";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string dir_, path_;
};

TEST_F(LoudnessMemoryTest, KeepsTheNewestBoundedAndRefusesAFifoAtOnce) {
  LoudnessMemory memory(path_);
  memory.remember("http://a/", -23.04);
  std::filesystem::create_directories(dir_ + "/state/radiolist");
  {
    std::ofstream out(path_, std::ios::app);
    for (std::size_t i = 0; i < LoudnessMemory::kMaxEntries; ++i)
      out << "http://s/" << i << "\t-20.5\n";
    out << "http://bad/\tloud\n";
  }
  memory.remember("http://s/1", -14.0);
  memory.remember(std::string(LoudnessMemory::kMaxFieldBytes + 1, 'x'), -14.0);  // not kept
  EXPECT_EQ(memory.loudnessFor("http://a/"), std::nullopt);  // the oldest, dropped
  EXPECT_EQ(memory.loudnessFor("http://s/1"), -14.0);
  EXPECT_EQ(memory.loudnessFor("http://s/2"), -20.5);
  EXPECT_EQ(memory.loudnessFor("http://bad/"), std::nullopt);
  std::ifstream in(path_);
  std::size_t lines = 0;
  for (std::string line; std::getline(in, line);) ++lines;
  EXPECT_EQ(lines, LoudnessMemory::kMaxEntries);

  std::filesystem::remove(path_);
  ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
  const auto began = std::chrono::steady_clock::now();
  EXPECT_EQ(memory.loudnessFor("http://s/1"), std::nullopt);
  memory.remember("http://s/1", -14.0);
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));  // never waited
  EXPECT_TRUE(std::filesystem::is_fifo(path_));
}

}  // namespace
}  // namespace radiolist::audio
