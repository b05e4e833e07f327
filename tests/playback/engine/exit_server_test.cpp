// The end of the program with everything running: three streams that keep losing their
// connection and connecting again, and a live HLS stream fetching its segments, when the library
// is shut down and the process exits. No connection may start afterwards, and the exit must be
// clean (the sanitizer builds run this too). One test per process: the shutdown is for good.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../hls/live_server.h"
#include "../net/test_stream_server.h"
#include "playback/bass.h"
#include "playback/engine/shutdown.h"
#include "support/test_servers.h"

namespace {

using namespace std::chrono_literals;
using radiolist::test::TestStreamServer;

std::u16string utf16(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

long requestCount(const TestStreamServer& server) {
  const auto log = server.requestLog();
  return std::count_if(log.begin(), log.end(),
                       [](const std::string& l) { return l.starts_with("REQ"); });
}

template <typename F>
bool waitUntil(F done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(100ms);
  }
  return true;
}

class ExitTest : public radiolist::test::ServerTest {};

TEST_F(ExitTest, ShutdownStopsReconnectingAndHlsStreamsForGood) {
  std::vector<std::unique_ptr<TestStreamServer>> cutting;
  for (int i = 0; i < 3; ++i) {
    cutting.push_back(std::make_unique<TestStreamServer>(
        std::vector<std::string>{"--file", std::string(RL_ENGINE_MEDIA_DIR) + "/tone440.mp3",
                                 "--status", "icy", "--rate", "16000", "--drop-after", "24000"}));
    ASSERT_NE(cutting.back()->port(), 0);
  }
  radiolist::test::LiveServer hls({"--format", "aac"});
  ASSERT_FALSE(hls.url().empty());

  ASSERT_NE(BASS_Init(-1, 44100, 0, nullptr, nullptr), 0);
  for (const auto& server : cutting) {
    const std::u16string url = utf16(server->url("/cut.mp3"));
    EXPECT_NE(
        BASS_ChannelPlay(BASS_StreamCreateURL(url.c_str(), 0, BASS_UNICODE, nullptr, nullptr), 1),
        0);
  }
  const std::u16string hlsUrl = utf16(hls.url());
  const HSTREAM live = BASS_AAC_StreamCreateURL(hlsUrl.c_str(), 0, BASS_UNICODE, nullptr, nullptr);
  EXPECT_NE(BASS_ChannelPlay(live, 1), 0);
  BASS_Start();

  for (const auto& server : cutting)
    ASSERT_TRUE(waitUntil([&] { return requestCount(*server) >= 2; }, 20s)) << "no reconnection";
  ASSERT_TRUE(waitUntil([&] { return hls.requestLog().size() >= 3; }, 20s)) << "no segments";

  radiolist::audio::shutdownLibrary();
  // Requests that began before the shutdown reach the logs meanwhile (a loaded machine, a
  // sanitizer build).
  std::this_thread::sleep_for(2s);
  std::vector<long> before;
  for (const auto& server : cutting) before.push_back(requestCount(*server));
  const std::size_t hlsBefore = hls.requestLog().size();
  // Longer than the pauses before the next connections and than an HLS segment.
  std::this_thread::sleep_for(4s);
  for (std::size_t i = 0; i < cutting.size(); ++i)
    EXPECT_EQ(requestCount(*cutting[i]), before[i]) << "stream " << i << " connected again";
  EXPECT_EQ(hls.requestLog().size(), hlsBefore) << "the HLS stream fetched again";

  EXPECT_EQ(BASS_Init(-1, 44100, 0, nullptr, nullptr), 0);
  EXPECT_EQ(BASS_StreamCreateURL(utf16(cutting[0]->url("/cut.mp3")).c_str(), 0, BASS_UNICODE,
                                 nullptr, nullptr),
            0u);
}

}  // namespace
