// Back at once when the network returns: the test owns a network namespace, plays a stream from
// a server inside it, takes the namespace's loopback down and brings it up again. The real
// library through the nine calls; the sound is heard at the PulseAudio null sink (its socket is a
// file, reachable from any namespace).
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>
#include <thread>

#include "../net/test_stream_server.h"
#include "playback/bass.h"
#include "support/listening_test.h"

namespace {

using namespace std::chrono_literals;
using radiolist::test::TestStreamServer;

bool gOwnNetwork = false;  // set by main() before any thread starts

bool setLoopback(bool up) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool done = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  if (done) {
    if (up)
      request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    else
      request.ifr_flags = static_cast<short>(request.ifr_flags & ~IFF_UP);
    done = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  }
  ::close(fd);
  return done;
}

class NetworkReturnTest : public radiolist::test::ListeningTest {
 protected:
  void SetUp() override {
    if (!gOwnNetwork) GTEST_SKIP() << "no network namespace of its own (needs root)";
    ListeningTest::SetUp();
  }
  void TearDown() override {
    if (gOwnNetwork) setLoopback(true);
    ListeningTest::TearDown();
  }

  // Takes the loopback down for `outage`, brings it up and returns how long the tone then took
  // to be heard again.
  std::optional<std::chrono::milliseconds> afterAnOutageOf(std::chrono::seconds outage) {
    if (!setLoopback(false)) {
      ADD_FAILURE() << "cannot take the loopback down";
      return std::nullopt;
    }
    std::this_thread::sleep_for(outage);
    EXPECT_TRUE(silentFor(300ms)) << "the buffered audio outlasted the outage";
    if (!setLoopback(true)) {
      ADD_FAILURE() << "cannot bring the loopback up";
      return std::nullopt;
    }
    return timeToHear(440, 10s);
  }
};

TEST_F(NetworkReturnTest, SoundIsBackWithinASecondOfTheNetworksReturn) {
  const std::vector<std::string> tone{"--file",   std::string(RL_ENGINE_MEDIA_DIR) + "/tone440.mp3",
                                      "--status", "icy",
                                      "--rate",   "16000"};
  auto server = std::make_unique<TestStreamServer>(tone);
  ASSERT_NE(server->port(), 0);
  const std::string port = std::to_string(server->port());
  radiolist::test::startLikeTheWindow(server->url("/tone.mp3"), true, false);
  ASSERT_TRUE(hears(440, 10s));

  // The network goes away under a playing stream: its connection has stalled (not yet been given
  // up) when the network returns.
  const auto stalled = afterAnOutageOf(4s);
  ASSERT_TRUE(stalled.has_value()) << "no sound after a 4 s outage";

  // The server goes away: every try is refused, and the pauses between them grow to 8 s. It
  // comes back in the middle of that pause, and so does the network.
  ASSERT_TRUE(hears(440, 5s));
  server.reset();
  std::this_thread::sleep_for(9s);  // tries after 0.5, 1, 2 and 4 s; now in the 8 s pause
  auto args = tone;
  args.insert(args.end(), {"--port", port});
  server = std::make_unique<TestStreamServer>(args);
  ASSERT_EQ(std::to_string(server->port()), port);
  ASSERT_TRUE(silentFor(300ms));
  ASSERT_TRUE(setLoopback(false) && setLoopback(true));
  const auto paused = timeToHear(440, 10s);
  ASSERT_TRUE(paused.has_value()) << "no sound after the server and the network came back";

  std::printf("sound back after %lld ms (stalled) and %lld ms (waiting out a pause)\n",
              static_cast<long long>(stalled->count()), static_cast<long long>(paused->count()));
  // The time to hear includes the 200 ms window the tone must fill, and the recorder's delay.
  EXPECT_LT(*stalled, 1500ms);
  EXPECT_LT(*paused, 1500ms);
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread exists: every thread the test starts then lives in the new namespace.
  gOwnNetwork = ::unshare(CLONE_NEWNET) == 0 && setLoopback(true);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
