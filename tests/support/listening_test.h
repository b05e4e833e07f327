// For tests of the audio library on the real servers that listen to what it plays.
//
// ListeningTest is a ServerTest that records a null sink of the test program's own, so server
// tests running in parallel neither hear this one nor are heard by it. The sink is made on the
// first SetUp of the process and kept until exit: the library keeps its output open across
// BASS_Free/BASS_Init, so it stays on the sink it first found. Each test gets a fresh recorder
// on that sink; TearDown frees the library.
//
//   class MyTest : public radiolist::test::ListeningTest {};
//   TEST_F(MyTest, Plays) {
//     const auto channel = radiolist::test::startLikeTheWindow(servers().mp3Url());
//     EXPECT_TRUE(hears(440));
//   }
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "playback/bass.h"
#include "support/sink_recorder.h"
#include "support/test_servers.h"

namespace radiolist::test {

// The two handles the window makes for one channel (0 where a kind was not asked for).
struct WindowChannel {
  HSTREAM general = 0;
  HSTREAM aac = 0;
};

// What the window does on every start: free, init, create the kinds asked for from the address
// in UTF-16, play them, start.
WindowChannel startLikeTheWindow(const std::string& url, bool general = true, bool aac = true);

// The lines of a tag block (NUL-terminated strings, an empty one last); none for nullptr.
[[nodiscard]] std::vector<std::string> tagLines(const char* block);

// BASS_TAG_META of `h` once it is non-empty and differs from `other`, polled every 100 ms; ""
// when that does not happen within `timeout`.
[[nodiscard]] std::string metaWithin(HSTREAM h, std::chrono::milliseconds timeout,
                                     const std::string& other = "");

class ListeningTest : public ServerTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Waits until `tone` dominates a 200 ms window of what is played; the time that took.
  std::optional<std::chrono::milliseconds> timeToHear(double tone,
                                                      std::chrono::milliseconds timeout);
  bool hears(double tone, std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
    return timeToHear(tone, timeout).has_value();
  }
  // True when the next `duration` of recording is silent throughout.
  bool silentFor(std::chrono::milliseconds duration);
  // The RMS level of the next `duration` of recording.
  double levelOver(std::chrono::milliseconds duration);

  [[nodiscard]] SinkRecorder& recorder() { return *recorder_; }

 private:
  static inline std::unique_ptr<PrivateSink> sink_;
  std::unique_ptr<SinkRecorder> recorder_;
};

}  // namespace radiolist::test
