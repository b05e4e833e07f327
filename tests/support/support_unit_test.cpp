// The test helpers' own pure parts: tone analysis on synthetic buffers, the env file parser, and
// the child process runner.
#include "support/child_process.h"
#include "support/signal_analysis.h"
#include "support/test_servers.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <complex>
#include <cstdlib>
#include <fstream>
#include <numbers>
#include <random>

namespace radiolist::test {
namespace {

constexpr double kRate = 44100;
constexpr std::size_t k100ms = 4410;

std::vector<float> mix(const std::vector<float>& a, const std::vector<float>& b) {
  std::vector<float> out(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) out[i] = a[i] + b[i];
  return out;
}

TEST(SignalAnalysis, RmsOfSineIsAmplitudeOverRootTwo) {
  EXPECT_NEAR(rms(sine(440, 1.0, k100ms, kRate)), 1.0 / std::numbers::sqrt2, 1e-4);
  EXPECT_NEAR(rms(sine(1000, 0.25, k100ms, kRate)), 0.25 / std::numbers::sqrt2, 1e-4);
  EXPECT_EQ(rms(std::vector<float>(k100ms, 0.0f)), 0.0);
  EXPECT_EQ(rms({}), 0.0);
}

TEST(SignalAnalysis, GoertzelMatchesDirectFourierSumOffBin) {
  const std::vector<float> x = mix(sine(437.3, 0.6, 1000, kRate), sine(1210, 0.3, 1000, kRate));
  for (const double f : {437.3, 440.0, 1210.0, 3000.0}) {
    std::complex<double> sum;
    for (std::size_t n = 0; n < x.size(); ++n)
      sum += static_cast<double>(x[n]) *
             std::polar(1.0, -2.0 * std::numbers::pi * f * static_cast<double>(n) / kRate);
    EXPECT_NEAR(goertzelPower(x, f, kRate), std::norm(sum), 1e-6 * std::norm(sum) + 1e-6)
        << "at " << f << " Hz";
  }
}

TEST(SignalAnalysis, PureToneOwnsItsShareOnAndOffBin) {
  // 440 Hz is a bin centre of a 100 ms window, 443.7 Hz is not.
  EXPECT_NEAR(toneShare(sine(440, 0.5, k100ms, kRate), 440, kRate), 1.0, 0.01);
  EXPECT_NEAR(toneShare(sine(443.7, 0.5, k100ms, kRate), 443.7, kRate), 1.0, 0.01);
  EXPECT_LT(toneShare(sine(440, 0.5, k100ms, kRate), 880, kRate), 0.001);
  EXPECT_LT(toneShare(sine(880, 0.5, k100ms, kRate), 440, kRate), 0.001);
  // The share does not depend on loudness.
  EXPECT_NEAR(toneShare(sine(440, 0.01, k100ms, kRate), 440, kRate), 1.0, 0.01);
}

TEST(SignalAnalysis, MixedTonesSplitThePowerByAmplitudeSquared) {
  const auto equal = mix(sine(440, 0.3, k100ms, kRate), sine(880, 0.3, k100ms, kRate));
  EXPECT_NEAR(toneShare(equal, 440, kRate), 0.5, 0.02);
  EXPECT_NEAR(toneShare(equal, 880, kRate), 0.5, 0.02);
  EXPECT_LT(toneShare(equal, 660, kRate), 0.01);

  const auto unequal = mix(sine(440, 0.3, k100ms, kRate), sine(880, 0.1, k100ms, kRate));
  EXPECT_NEAR(toneShare(unequal, 440, kRate), 0.9, 0.02);
  EXPECT_NEAR(toneShare(unequal, 880, kRate), 0.1, 0.02);
}

TEST(SignalAnalysis, SilenceNoiseAndOffsetHaveNoTone) {
  EXPECT_EQ(toneShare(std::vector<float>(k100ms, 0.0f), 440, kRate), 0.0);
  EXPECT_EQ(toneShare({}, 440, kRate), 0.0);

  std::mt19937 rng(7);
  std::uniform_real_distribution<float> uniform(-0.5f, 0.5f);
  std::vector<float> noise(k100ms);
  for (float& s : noise) s = uniform(rng);
  EXPECT_LT(toneShare(noise, 440, kRate), 0.01);

  EXPECT_LT(toneShare(std::vector<float>(k100ms, 0.25f), 440, kRate), 0.001);
}

TEST(SignalAnalysis, NoisyToneStillDominates) {
  std::mt19937 rng(11);
  std::normal_distribution<float> gauss(0.0f, 0.05f);
  std::vector<float> x = sine(440, 0.3, k100ms, kRate);
  for (float& s : x) s += gauss(rng);
  // Tone power 0.045 against noise power 0.0025: about 95 % of the total.
  EXPECT_GT(toneShare(x, 440, kRate), 0.9);
  EXPECT_LT(toneShare(x, 880, kRate), 0.01);
}

TEST(SignalAnalysis, Pcm16ConversionRoundsAndClips) {
  const std::vector<float> in{0.0f, 0.5f, -0.5f, 1.0f, -1.0f, 2.0f, -2.0f, 1.0f / 32768.0f};
  const std::vector<std::int16_t> pcm = toPcm16(in);
  EXPECT_EQ(pcm, (std::vector<std::int16_t>{0, 16384, -16384, 32767, -32768, 32767, -32768, 1}));
  const std::vector<float> back = toFloat(pcm);
  EXPECT_FLOAT_EQ(back[1], 0.5f);
  EXPECT_FLOAT_EQ(back[4], -1.0f);
  EXPECT_FLOAT_EQ(back[7], 1.0f / 32768.0f);
}

std::uint32_t le32(const std::string& b, std::size_t at) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(b[at])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}

TEST(SignalAnalysis, WavFileHasCanonicalHeaderAndLittleEndianSamples) {
  const std::string path = testing::TempDir() + "support_unit_test.wav";
  ASSERT_TRUE(writeWav(path, std::vector<float>{0.5f, -1.0f, 0.0f}, 22050));
  std::ifstream in(path, std::ios::binary);
  std::string b(64, '\0');
  in.read(b.data(), static_cast<std::streamsize>(b.size()));
  b.resize(static_cast<std::size_t>(in.gcount()));
  ASSERT_EQ(b.size(), 44u + 6u);
  EXPECT_EQ(b.substr(0, 4), "RIFF");
  EXPECT_EQ(le32(b, 4), 36u + 6u);
  EXPECT_EQ(b.substr(8, 8), "WAVEfmt ");
  EXPECT_EQ(le32(b, 16), 16u);
  EXPECT_EQ(le32(b, 20), 0x00010001u);  // PCM, one channel
  EXPECT_EQ(le32(b, 24), 22050u);
  EXPECT_EQ(le32(b, 28), 44100u);
  EXPECT_EQ(le32(b, 32), 0x00100002u);  // block align 2, 16 bits
  EXPECT_EQ(b.substr(36, 4), "data");
  EXPECT_EQ(le32(b, 40), 6u);
  EXPECT_EQ(b.substr(44), std::string("\x00\x40\x00\x80\x00\x00", 6));
  std::remove(path.c_str());
}

constexpr std::string_view kEnv =
    "PULSE_SERVER=unix:/tmp/x/pulse/native\n"
    "RADIOLIST_SINK=radiolist_test\n"
    "ICECAST_URL=http://127.0.0.1:18800\r\n"
    "# a comment\n"
    "\n"
    "ICECAST_ADMIN_USER=admin\n"
    "ICECAST_ADMIN_PASSWORD=pa=ss\n"
    "MOUNT_TONE440_MP3=/tone440.mp3\n"
    "MOUNT_TONE880_AAC=/tone880.aac\n";

TEST(TestServersEnv, ParsesKeysUrlsAndToleratesCrLfAndComments) {
  std::string why;
  const auto s = TestServers::parse(kEnv, "/tmp/x", &why);
  ASSERT_TRUE(s.has_value()) << why;
  EXPECT_EQ(s->dir(), "/tmp/x");
  EXPECT_EQ(s->pulseServer(), "unix:/tmp/x/pulse/native");
  EXPECT_EQ(s->sink(), "radiolist_test");
  EXPECT_EQ(s->monitorSource(), "radiolist_test.monitor");
  EXPECT_EQ(s->icecastUrl(), "http://127.0.0.1:18800");
  EXPECT_EQ(s->adminUser(), "admin");
  EXPECT_EQ(s->adminPassword(), "pa=ss");  // split at the first '=' only
  EXPECT_EQ(s->mp3Url(), "http://127.0.0.1:18800/tone440.mp3");
  EXPECT_EQ(s->aacUrl(), "http://127.0.0.1:18800/tone880.aac");
  EXPECT_EQ(s->mountUrl("x.ogg"), "http://127.0.0.1:18800/x.ogg");
  EXPECT_EQ(s->value("NO_SUCH_KEY"), "");
}

TEST(TestServersEnv, RejectsMissingKeysAndMalformedLines) {
  std::string why;
  EXPECT_FALSE(TestServers::parse("PULSE_SERVER=unix:/p\n", "/d", &why));
  EXPECT_NE(why.find("RADIOLIST_SINK"), std::string::npos) << why;

  std::string broken(kEnv);
  broken += "just words\n";
  EXPECT_FALSE(TestServers::parse(broken, "/d", &why));
  EXPECT_NE(why.find("line 10"), std::string::npos) << why;

  EXPECT_FALSE(TestServers::load("/nonexistent-radiolist-dir", &why));
  EXPECT_NE(why.find("/nonexistent-radiolist-dir/env"), std::string::npos) << why;
}

TEST(TestServersEnv, ExplainsAMissingVariable) {
  const char* old = std::getenv("RADIOLIST_TEST_SERVERS");
  const std::string saved = old ? old : "";
  unsetenv("RADIOLIST_TEST_SERVERS");
  std::string why;
  EXPECT_FALSE(TestServers::fromEnvironment(&why));
  EXPECT_NE(why.find("RADIOLIST_TEST_SERVERS is not set"), std::string::npos) << why;
  if (old) setenv("RADIOLIST_TEST_SERVERS", saved.c_str(), 1);
}

TEST(ChildProcessTest, RunCommandCapturesOutputExitCodeAndEnvironment) {
  const CommandResult r = runCommand(
      {{"sh", "-c", "printf '%s|' \"$RL_PROBE\"; echo done; exit 3"}, {{"RL_PROBE", "value"}}},
      std::chrono::seconds(10));
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_EQ(r.output, "value|done\n");
}

TEST(ChildProcessTest, RunCommandKillsACommandThatOverstays) {
  const auto begin = std::chrono::steady_clock::now();
  const CommandResult r = runCommand({{"sleep", "30"}}, std::chrono::milliseconds(200));
  EXPECT_EQ(r.exitCode, -1);
  EXPECT_NE(r.output.find("timed out"), std::string::npos) << r.output;
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
}

TEST(ChildProcessTest, ReportsAProgramThatDoesNotExist) {
  EXPECT_THROW(ChildProcess({{"/nonexistent/radiolist-no-such-program"}}), std::runtime_error);
  const CommandResult r = runCommand({{"radiolist-no-such-program"}}, std::chrono::seconds(5));
  EXPECT_EQ(r.exitCode, -1);
  EXPECT_NE(r.output.find("cannot start"), std::string::npos) << r.output;
}

TEST(ChildProcessTest, TerminateKillsAChildThatIgnoresSigterm) {
  ChildProcess child({{"sh", "-c", "trap '' TERM; while :; do sleep 1; done"}});
  EXPECT_FALSE(child.waitFor(std::chrono::milliseconds(100)).has_value());
  child.terminate();
  const auto status = child.waitFor(std::chrono::milliseconds(0));
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFSIGNALED(*status));
  EXPECT_EQ(WTERMSIG(*status), SIGKILL);
}

}  // namespace
}  // namespace radiolist::test
