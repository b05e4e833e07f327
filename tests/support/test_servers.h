// The loopback servers that tests labelled "servers" play against.
//
// CTest's fixture (tests/CMakeLists.txt, rl_server_test) runs tools/servers/test-servers.sh
// before the first such test. That script starts a private PulseAudio daemon with a null sink,
// Icecast2 on 127.0.0.1 and one ffmpeg tone feeder per mount, then writes the file "env" in the
// directory named by $RADIOLIST_TEST_SERVERS as KEY=VALUE lines:
//
//   PULSE_SERVER             unix:<dir>/pulse/native, for every PulseAudio client of the test
//   RADIOLIST_SINK           radiolist_test, the null sink (also the default sink); its monitor
//                            source radiolist_test.monitor carries what was played
//   ICECAST_URL              http://127.0.0.1:<port>
//   ICECAST_PORT             <port>
//   ICECAST_ADMIN_USER       admin user for /admin/... (basic auth)
//   ICECAST_ADMIN_PASSWORD
//   ICECAST_SOURCE_PASSWORD  for a test that wants to feed a mount of its own (user "source")
//   MOUNT_TONE440_MP3        /tone440.mp3  440 Hz, MP3 128 kbit/s, icy-name "Test Radio 440",
//                                          title "Test Artist - Tone 440"
//   MOUNT_TONE880_AAC        /tone880.aac  880 Hz, AAC-LC 96 kbit/s ADTS, icy-name
//                                          "Test Radio 880", title "Test Artist - Tone 880"
//   MOUNT_TONE550_OGG        /tone550.ogg  550 Hz, Ogg Vorbis (no ICY titles), "Test Radio 550"
//   MOUNT_PINKLOUD_MP3       /pinkloud.mp3, /pinkquiet.mp3: the same pink noise 16 dB apart
//   MOUNT_PINKQUIET_MP3
//   MOUNT_STEPS_MP3          /steps.mp3    MP3 128 kbit/s, a sine that goes through
//                                          kStepFrequencies in turn, kStepSeconds each, titled
//                                          stepTitle(<frequency>) from its first audio on
//
// There is no HE-AAC mount: Debian's ffmpeg has no HE-AAC encoder.
//
// Thread safety: a TestServers is an immutable value once loaded; its methods may be called from
// any thread. stopMount/startMount change shared server state and should be used by one test at a
// time (CTest runs the server tests of one build directory with the same servers, possibly in
// parallel: a test that takes a mount down should use RESOURCE_LOCK or its own feeder).
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace radiolist::test {

// The steps mount's tone and title: step n (n = 0, 1, ... from the feeder's start) plays
// kStepFrequencies[n % 4] for kStepSeconds. Its title changes to the step's as the feeder sends
// the step's first audio; in a listener's stream it comes with the next metadata block after that
// audio (Icecast keeps the title with the audio it queues, one block per second of audio): 0.1 to
// 1.0 s after the change, 1.2 s at most.
inline constexpr int kStepSeconds = 15;
inline constexpr std::array<int, 4> kStepFrequencies{500, 700, 900, 1100};
[[nodiscard]] inline std::string stepTitle(int frequency) {
  return "Steps - " + std::to_string(frequency) + " Hz";
}

class TestServers {
 public:
  // Loads $RADIOLIST_TEST_SERVERS/env. Returns nullopt when the variable is unset or the file
  // cannot be read or lacks a required key; *why (if given) then says which, in a sentence fit
  // for a skip or failure message.
  [[nodiscard]] static std::optional<TestServers> fromEnvironment(std::string* why = nullptr);
  // Loads <dir>/env; same contract as fromEnvironment.
  [[nodiscard]] static std::optional<TestServers> load(const std::string& dir,
                                                       std::string* why = nullptr);
  // Parses the text of an env file (exposed for tests of the parser).
  [[nodiscard]] static std::optional<TestServers> parse(std::string_view text,
                                                        const std::string& dir,
                                                        std::string* why = nullptr);

  [[nodiscard]] const std::string& dir() const { return dir_; }
  [[nodiscard]] const std::string& pulseServer() const { return pulseServer_; }
  [[nodiscard]] const std::string& sink() const { return sink_; }
  // The sink's monitor source, "<sink>.monitor".
  [[nodiscard]] std::string monitorSource() const { return sink_ + ".monitor"; }
  [[nodiscard]] const std::string& icecastUrl() const { return icecastUrl_; }
  [[nodiscard]] const std::string& adminUser() const { return adminUser_; }
  [[nodiscard]] const std::string& adminPassword() const { return adminPassword_; }
  // Any key of the env file, "" if absent (e.g. value("MOUNT_TONE440_MP3") == "/tone440.mp3").
  [[nodiscard]] std::string value(const std::string& key) const;

  // Listener URL of a mount: mountUrl("/tone440.mp3") == "http://127.0.0.1:<port>/tone440.mp3".
  [[nodiscard]] std::string mountUrl(std::string_view mount) const;
  [[nodiscard]] std::string mp3Url() const { return mountUrl(value("MOUNT_TONE440_MP3")); }
  [[nodiscard]] std::string aacUrl() const { return mountUrl(value("MOUNT_TONE880_AAC")); }
  [[nodiscard]] std::string oggUrl() const { return mountUrl(value("MOUNT_TONE550_OGG")); }
  [[nodiscard]] std::string stepsUrl() const { return mountUrl(value("MOUNT_STEPS_MP3")); }

  // Sets PULSE_SERVER in this process's environment, so that PulseAudio clients created by the
  // code under test (and child processes) reach the private daemon. Call before creating them.
  void exportPulseServer() const;

  // Sets the title that Icecast sends in the mount's ICY metadata ("StreamTitle='...';") through
  // GET /admin/metadata?mount=...&mode=updinfo&song=... with basic auth. The title is UTF-8 and
  // is URL-encoded here; Icecast passes its bytes through unchanged. Listeners see it at their
  // next metadata block (every 16000 audio bytes, about 1 s at 128 kbit/s). Works on the MP3
  // and AAC mounts only (Ogg carries its titles in the stream). Returns "" on success, else a
  // description of the failure, so that ASSERT_EQ(servers.setIcecastTitle(m, t), "") reports it.
  [[nodiscard]] std::string setIcecastTitle(std::string_view mount, std::string_view title) const;

  // Takes a mount off the air (its feeder stops; listeners lose the connection and new ones get
  // 404) and brings it back, waiting until it is live again with its initial title. Both run
  // tools/servers/test-servers.sh and return "" on success, else its exit status and output.
  [[nodiscard]] std::string stopMount(std::string_view mount) const;
  // Starts again whatever of the servers died (test-servers.sh ensure); "" on success. The base
  // fixture calls it before each test, so that a server crashing in mid-run fails one test only.
  [[nodiscard]] std::string ensureRunning() const;
  [[nodiscard]] std::string startMount(std::string_view mount) const;

 private:
  std::string dir_;
  std::string pulseServer_;
  std::string sink_;
  std::string icecastUrl_;
  std::string adminUser_;
  std::string adminPassword_;
  std::map<std::string, std::string, std::less<>> values_;
};

// Base fixture of tests that need the servers. SetUp loads them and skips the test, saying why,
// when $RADIOLIST_TEST_SERVERS is not set (a test binary run by hand outside CTest); when the
// variable is set but the servers are unusable it fails instead, so CTest runs never skip. It
// also exports PULSE_SERVER.
class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override;
  [[nodiscard]] const TestServers& servers() const { return *servers_; }

 private:
  std::optional<TestServers> servers_;
};

}  // namespace radiolist::test
