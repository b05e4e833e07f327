// Addresses a public directory gave, held to public hosts (Engine::holdToPublic): every request
// of such an address's source carries net::Reach::PublicOnly, a source of it started before the
// hold is not taken over (nor one started held by a later creation of the address once it is
// forgotten), and, through the real connections, such an address naming this machine by a host
// name (localhost) is refused where the same address unheld plays.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../net/test_stream_server.h"
#include "fake_stream.h"
#include "playback/engine/engine.h"

namespace radiolist::audio {
namespace {

using namespace std::chrono_literals;
using test::FakeStream;

class SilentOutput final : public Output {
 public:
  [[nodiscard]] bool healthy() const override { return true; }
  void dropQueued() override {}
  void setWanted(bool) override {}
  void prepare() override {}
};

template <typename F>
bool waitUntil(F f, std::chrono::milliseconds timeout = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!f()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

class PublicHoldTest : public ::testing::Test {
 protected:
  // `real`: connections through net::HttpStream; else fake streams of the test's MP3, each
  // "once" address ending after its body so that its source connects again.
  void makeEngine(bool real) {
    EngineDeps deps;
    deps.openStream = [this, real](const std::string& url, std::optional<net::ByteRange> range,
                                   net::Reach reach) -> std::shared_ptr<net::HttpStream> {
      std::shared_ptr<net::HttpStream> stream;
      if (real) {
        net::StreamOptions options;
        options.url = url;
        options.range = range;
        options.reach = reach;
        stream = net::HttpStream::start(std::move(options));
      } else {
        FakeStream::Options options;
        options.body = test::readFile(test::mediaPath("tone440.mp3"));
        options.loop = !url.ends_with("once.mp3");
        options.bytesPerSecond = 16000;
        options.burstBytes = 64 * 1024;
        stream = std::make_shared<FakeStream>(std::move(options));
      }
      const std::lock_guard lock(mutex_);
      opened_.push_back({url, reach, stream});
      return stream;
    };
    deps.openOutput = [](Mixer&) { return std::make_unique<SilentOutput>(); };
    deps.plausibleUrl = [](std::string_view url) { return url.starts_with("http://"); };
    deps.keepWarm = 5s;
    deps.retry.firstPause = 300ms;
    engine_ = std::make_unique<Engine>(std::move(deps));
  }

  struct Opened {
    std::string url;
    net::Reach reach;
    std::shared_ptr<net::HttpStream> stream;
  };
  std::vector<Opened> opened() {
    const std::lock_guard lock(mutex_);
    return opened_;
  }
  // The reach of each connection made for `url`, in order.
  std::vector<net::Reach> reaches(const std::string& url) {
    std::vector<net::Reach> out;
    for (const Opened& o : opened())
      if (o.url == url) out.push_back(o.reach);
    return out;
  }
  double render() {
    std::vector<float> out(2 * 512);
    engine_->mixer().render(out.data(), 512);
    double sum = 0;
    for (float s : out) sum += static_cast<double>(s) * s;
    return std::sqrt(sum / static_cast<double>(out.size()));
  }
  // Creates and plays a general channel of `url` after a free, as the window's START does.
  DWORD start(const std::string& url) {
    engine_->free();
    EXPECT_TRUE(engine_->init());
    const DWORD handle = engine_->create(url, CreationKind::General);
    engine_->play(handle, true);
    return handle;
  }

  std::mutex mutex_;
  std::vector<Opened> opened_;  // under mutex_
  std::unique_ptr<Engine> engine_;
};

using Reaches = std::vector<net::Reach>;
constexpr auto kAny = net::Reach::Anywhere;
constexpr auto kPublic = net::Reach::PublicOnly;

TEST_F(PublicHoldTest, EveryConnectionOfAHeldAddressIsPublicOnlyAndNoUnheldSourceIsTakenOver) {
  makeEngine(false);
  const std::string station = "http://radio.test/found.mp3";
  start(station);
  ASSERT_TRUE(waitUntil([&] { return render() > 0.01; }));
  ASSERT_EQ(reaches(station), (Reaches{kAny}));

  // Held now: the warm source, connected anywhere, is not taken over; the twins share the new
  // one, and a later restart takes that one over.
  engine_->holdToPublic(station);
  const DWORD general = start(station);
  EXPECT_NE(engine_->create(station, CreationKind::Aac), 0u);
  EXPECT_EQ(reaches(station), (Reaches{kAny, kPublic}));
  EXPECT_TRUE(waitUntil([&] { return render() > 0.01; }));
  start(station);
  EXPECT_EQ(reaches(station), (Reaches{kAny, kPublic}));
  EXPECT_NE(general, 0u);

  // A hint of a held address connects the same way; its reconnections too.
  const std::string once = "http://radio.test/once.mp3";
  engine_->holdToPublic(once);
  engine_->prepare(once);
  start(once);
  ASSERT_TRUE(waitUntil(
      [&] {
        render();  // the 3 s file plays out, ends, and its source connects again
        return reaches(once).size() >= 2;
      },
      20s))
      << "no reconnection";
  for (net::Reach reach : reaches(once)) EXPECT_EQ(reach, kPublic);

  // Only the last kMaxPublicOnly addresses are held: the first, pushed out, plays as any
  // address does; the one named again since is still held.
  const std::string forgotten = "http://radio.test/forgotten.mp3";
  engine_->holdToPublic(forgotten);
  engine_->holdToPublic(station);
  for (std::size_t i = 0; i + 2 < Engine::kMaxPublicOnly; ++i)
    engine_->holdToPublic("http://radio.test/other" + std::to_string(i) + ".mp3");
  engine_->holdToPublic(station);
  engine_->holdToPublic("http://radio.test/last.mp3");
  start(forgotten);
  start("http://radio.test/last.mp3");
  EXPECT_EQ(reaches(forgotten), (Reaches{kAny}));
  EXPECT_EQ(reaches("http://radio.test/last.mp3"), (Reaches{kPublic}));
  engine_->free();
}

// The loopback stands in for this machine's own network: the same station, named by a host name
// that resolves here, plays unheld and is refused held, before its socket opens (the server
// sees no request).
TEST_F(PublicHoldTest, AHeldAddressNamingThisMachineIsRefusedWhereTheSameUnheldPlays) {
  makeEngine(true);
  radiolist::test::TestStreamServer server(
      {"--file", test::mediaPath("tone440.mp3"), "--status", "icy", "--rate", "16000"});
  ASSERT_NE(server.port(), 0);
  const std::string station = "http://localhost:" + std::to_string(server.port()) + "/live";
  start(station);
  ASSERT_TRUE(waitUntil([&] { return render() > 0.01; }, 20s)) << "the unheld station plays";
  const std::size_t requests = server.requestLog().size();
  ASSERT_GT(requests, 0u);

  engine_->free();
  std::this_thread::sleep_for(100ms);  // what the freed source still had rings out
  engine_->holdToPublic(station);
  const std::size_t before = opened().size();
  start(station);
  // Every connection of it fails as a refused one does (localhost may resolve to ::1 and to
  // 127.0.0.1: both are this machine's).
  ASSERT_TRUE(waitUntil([&] { return opened().size() > before; }));
  const auto attempt = opened()[before];
  EXPECT_EQ(attempt.reach, kPublic);
  ASSERT_TRUE(waitUntil([&] { return attempt.stream->stats().error != net::StreamError::None; }));
  EXPECT_EQ(attempt.stream->stats().error, net::StreamError::Connect);
  EXPECT_EQ(attempt.stream->stats().bodyBytes, 0u);
  for (int i = 0; i < 20; ++i) EXPECT_LT(render(), 1e-6);
  std::vector<std::string> log = server.requestLog();
  std::size_t newRequests = 0;
  for (std::size_t i = requests; i < log.size(); ++i) newRequests += log[i].starts_with("REQ");
  EXPECT_EQ(newRequests, 0u) << "a held address reached this machine";
  engine_->free();
}

}  // namespace
}  // namespace radiolist::audio
