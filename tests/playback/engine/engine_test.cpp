// The engine's channel rules with fake streams and a fake output; the test itself is the
// output's thread (it calls Mixer::render).
#include "playback/engine/engine.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cmath>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "fake_stream.h"
#include "support/proc_status.h"

namespace radiolist::audio {
namespace {

using namespace std::chrono_literals;
using radiolist::test::threadCount;
using test::FakeStream;

// What the engine told its output.
struct OutputCalls {
  int drops = 0;
  int prepares = 0;
  std::optional<bool> wanted;  // the last setWanted()
};

class FakeOutput final : public Output {
 public:
  explicit FakeOutput(OutputCalls* calls) : calls_(calls) {}
  [[nodiscard]] bool healthy() const override { return true; }
  void dropQueued() override { ++calls_->drops; }
  void setWanted(bool wanted) override { calls_->wanted = wanted; }
  void prepare() override { ++calls_->prepares; }

 private:
  OutputCalls* calls_;
};

// RMS of the middle of a test file decoded on its own.
double decodedLevel(const char* file) {
  FakeStream stream(FakeStream::served(test::readFile(test::mediaPath(file))));
  Voice voice(1 << 18);
  decodeStream(stream, voice, {});
  std::vector<StereoFrame> frames(voice.ring.readable());
  voice.ring.read(frames);
  double sum = 0;
  std::size_t n = 0;
  for (std::size_t i = frames.size() / 4; i < frames.size() * 3 / 4; ++i, n += 2)
    sum += frames[i].left * frames[i].left + frames[i].right * frames[i].right;
  return n == 0 ? 0 : std::sqrt(sum / static_cast<double>(n));
}

template <typename F>
bool waitUntil(F f, std::chrono::milliseconds timeout = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!f()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

class EngineTest : public ::testing::Test {
 protected:
  static constexpr const char* kMp3 = "http://radio.test/tone440.mp3";
  static constexpr const char* kAac = "http://radio.test/tone880.aac";

  void SetUp() override { makeEngine(5s); }

  void makeEngine(std::chrono::milliseconds keepWarm, RetryPolicy retry = {}) {
    engine_.reset();
    EngineDeps deps;
    // Called from the test's thread and from the sources' threads when they connect again.
    deps.openStream = [this](const std::string& url, std::optional<net::ByteRange>,
                             net::Reach) -> std::shared_ptr<net::HttpStream> {
      const std::lock_guard lock(opensMutex_);
      const int nth = ++opens_[url];
      openTimes_[url].push_back(std::chrono::steady_clock::now());
      FakeStream::Options options;
      if (url.ends_with(".mp3")) {
        options.body = test::readFile(test::mediaPath("tone440.mp3"));
      } else if (url.ends_with(".aac")) {
        options.body = test::readFile(test::mediaPath("tone880.aac"));
        options.contentType = "audio/aac";
        options.headLines = {"HTTP/1.0 200 OK", "icy-name:AAC Radio"};
      }
      if (url.ends_with(".m3u")) {
        const std::string entry = "#EXTM3U\nhttp://radio.test/once.mp3\n";
        for (char c : entry) options.body.push_back(static_cast<std::byte>(c));
        options.contentType = "audio/x-mpegurl";
        options.headLines = {"HTTP/1.0 200 OK", "Content-Type: audio/x-mpegurl"};
        // Slowly, so that a reader of the tags could see the playlist's own head meanwhile.
        options.bytesPerSecond = 40;
      }
      options.meta = "StreamTitle='First';";
      options.loop = !url.ends_with("once.mp3") && !url.ends_with("gone.mp3") &&
                     !url.ends_with("404.mp3") && !url.ends_with(".m3u");
      // Plays once, then the server is gone, or answers 404.
      options.refused = (url.ends_with("gone.mp3") || url.ends_with("404.mp3")) && nth > 1;
      options.status = url.ends_with("404.mp3") ? 404 : 0;
      if (options.bytesPerSecond == 0) {
        options.bytesPerSecond = 16000;  // 128 kbit/s
        options.burstBytes = 64 * 1024;  // Icecast's default burst
      }
      auto stream = std::make_shared<FakeStream>(std::move(options));
      streams_[url] = stream;
      return stream;
    };
    deps.openOutput = [this](Mixer&) -> std::unique_ptr<Output> {
      if (!serverUp_) return nullptr;
      return std::make_unique<FakeOutput>(&output_);
    };
    deps.plausibleUrl = [](std::string_view url) {
      return url.starts_with("http://") && url.size() > 7;
    };
    deps.keepWarm = keepWarm;
    deps.retry = retry;
    engine_ = std::make_unique<Engine>(std::move(deps));
  }

  // RMS of the next `frames` of output.
  double render(std::size_t frames = 2048) {
    std::vector<float> out(2 * frames);
    engine_->mixer().render(out.data(), frames);
    double sum = 0;
    for (float s : out) sum += static_cast<double>(s) * s;
    return std::sqrt(sum / static_cast<double>(out.size()));
  }
  bool soundsWithin(std::chrono::milliseconds timeout = 5s) {
    return waitUntil([&] { return render(512) > 0.01; }, timeout);
  }

  std::pair<DWORD, DWORD> createTwins(const char* url) {
    return {engine_->create(url, CreationKind::General), engine_->create(url, CreationKind::Aac)};
  }

  int opens(const std::string& url) {
    const std::lock_guard lock(opensMutex_);
    return opens_[url];
  }
  int totalOpens() {
    const std::lock_guard lock(opensMutex_);
    return static_cast<int>(opens_.size());
  }
  std::shared_ptr<FakeStream> stream(const std::string& url) {
    const std::lock_guard lock(opensMutex_);
    return streams_[url];
  }
  std::vector<std::chrono::steady_clock::time_point> openTimes(const std::string& url) {
    const std::lock_guard lock(opensMutex_);
    return openTimes_[url];
  }

  bool serverUp_ = true;
  OutputCalls output_;
  int& drops_ = output_.drops;
  std::mutex opensMutex_;
  std::map<std::string, int> opens_;
  std::map<std::string, std::vector<std::chrono::steady_clock::time_point>> openTimes_;
  std::map<std::string, std::shared_ptr<FakeStream>> streams_;  // the latest of each address
  std::unique_ptr<Engine> engine_;
};

TEST_F(EngineTest, NothingIsCreatedWithoutASuccessfulInit) {
  EXPECT_EQ(engine_->create(kMp3, CreationKind::General), 0u);
  serverUp_ = false;
  EXPECT_FALSE(engine_->init());
  EXPECT_EQ(engine_->create(kMp3, CreationKind::General), 0u);
  EXPECT_EQ(engine_->create(kMp3, CreationKind::Aac), 0u);
  EXPECT_EQ(totalOpens(), 0);
  serverUp_ = true;
  EXPECT_TRUE(engine_->init());
  EXPECT_NE(engine_->create(kMp3, CreationKind::General), 0u);
}

TEST_F(EngineTest, AnImpossibleAddressGivesZeroAndOpensNothing) {
  ASSERT_TRUE(engine_->init());
  EXPECT_EQ(engine_->create("http://", CreationKind::General), 0u);
  EXPECT_EQ(engine_->create("", CreationKind::Aac), 0u);
  EXPECT_EQ(totalOpens(), 0);
}

TEST_F(EngineTest, TwinCreationsShareOneConnection) {
  ASSERT_TRUE(engine_->init());
  const auto [general, aac] = createTwins(kMp3);
  EXPECT_NE(general, 0u);
  EXPECT_NE(aac, 0u);
  EXPECT_NE(general, aac);
  EXPECT_EQ(opens(kMp3), 1);
  // A second pair of the same address in the same initialisation is a stream of its own.
  createTwins(kMp3);
  EXPECT_EQ(opens(kMp3), 2);
  createTwins(kAac);
  EXPECT_EQ(opens(kAac), 1);
}

TEST_F(EngineTest, OnlyTheMatchingCreationOfAnAddressPlays) {
  ASSERT_TRUE(engine_->init());
  for (const char* url : {kMp3, kAac}) {
    SCOPED_TRACE(url);
    const auto [general, aac] = createTwins(url);
    const DWORD winner = url == kMp3 ? general : aac;
    const DWORD loser = url == kMp3 ? aac : general;
    EXPECT_NE(engine_->isActive(general), BASS_ACTIVE_PLAYING);  // created, not played
    EXPECT_NE(engine_->isActive(aac), BASS_ACTIVE_PLAYING);
    EXPECT_TRUE(engine_->play(general, true));
    EXPECT_TRUE(engine_->play(aac, true));
    EXPECT_TRUE(waitUntil([&] { return engine_->isActive(winner) == BASS_ACTIVE_PLAYING; }));
    EXPECT_EQ(engine_->isActive(loser), BASS_ACTIVE_STOPPED);
    EXPECT_EQ(engine_->tags(loser, BASS_TAG_META), nullptr);
    EXPECT_EQ(engine_->tags(loser, BASS_TAG_HTTP), nullptr);
    EXPECT_EQ(engine_->tags(loser, BASS_TAG_ICY), nullptr);
    EXPECT_TRUE(soundsWithin());
    // Only one voice sounds: the level is that of the file decoded once (twins would double it).
    const double single = decodedLevel(url == kMp3 ? "tone440.mp3" : "tone880.aac");
    EXPECT_NEAR(render(4096), single, 0.2 * single);
    engine_->stop(winner);
  }
}

TEST_F(EngineTest, AStreamCreatedButNotPlayedStaysSilent) {
  ASSERT_TRUE(engine_->init());
  const auto [general, aac] = createTwins(kMp3);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(engine_->isActive(general), BASS_ACTIVE_STOPPED);
  EXPECT_EQ(engine_->isActive(aac), BASS_ACTIVE_STOPPED);
  EXPECT_LT(render(), 1e-6);
}

TEST_F(EngineTest, StopSilencesAtOnce) {
  ASSERT_TRUE(engine_->init());
  const auto [general, aac] = createTwins(kMp3);
  engine_->play(general, true);
  ASSERT_TRUE(soundsWithin());
  const int dropsBefore = drops_;
  EXPECT_TRUE(engine_->stop(general));
  EXPECT_LT(render(), 1e-6);
  EXPECT_EQ(drops_, dropsBefore + 1);  // what the device still held is dropped too
  EXPECT_EQ(engine_->isActive(general), BASS_ACTIVE_STOPPED);
  // Stopping the silent twin changes nothing for the output.
  engine_->stop(aac);
  EXPECT_EQ(drops_, dropsBefore + 1);
}

TEST_F(EngineTest, PlayWithRestartAfterAStopResumesNearTheLiveEdge) {
  ASSERT_TRUE(engine_->init());
  const DWORD general = engine_->create(kMp3, CreationKind::General);
  engine_->play(general, true);
  ASSERT_TRUE(soundsWithin());
  // Stopped for a while, with the output running meanwhile as it would.
  engine_->stop(general);
  for (int i = 0; i < 60; ++i) {
    EXPECT_LT(render(1024), 1e-6);
    std::this_thread::sleep_for(20ms);
  }
  engine_->play(general, true);
  render(16);
  // At most the newest quarter second (and what arrived meanwhile) is left to play.
  EXPECT_TRUE(soundsWithin());
  EXPECT_EQ(engine_->isActive(general), BASS_ACTIVE_PLAYING);
  std::size_t buffered = 0;
  for (int i = 0; i < 20; ++i) buffered += render(1024) > 0.01 ? 1024 : 0;
  EXPECT_LE(buffered, Mixer::kKeepFrames + kOutputRate / 2);
}

TEST_F(EngineTest, FreeSilencesAtOnceAndEndsEveryHandle) {
  ASSERT_TRUE(engine_->init());
  const auto [general, aac] = createTwins(kMp3);
  engine_->play(general, true);
  engine_->play(aac, true);
  ASSERT_TRUE(soundsWithin());
  engine_->free();
  // A moment's hold bridges a free that is followed at once by a new creation; then silence.
  EXPECT_GT(render(256), 0.01);
  std::this_thread::sleep_for(40ms);
  EXPECT_LT(render(), 1e-6);
  for (DWORD h : {general, aac}) {
    EXPECT_EQ(engine_->isActive(h), BASS_ACTIVE_STOPPED);
    EXPECT_FALSE(engine_->play(h, true));
    EXPECT_FALSE(engine_->stop(h));
    EXPECT_EQ(engine_->tags(h, BASS_TAG_HTTP), nullptr);
  }
  EXPECT_LT(render(), 1e-6);
  EXPECT_EQ(engine_->create(kMp3, CreationKind::General), 0u);  // freed, not initialised
}

TEST_F(EngineTest, ANewCreationAfterFreeTakesOverTheWarmConnection) {
  ASSERT_TRUE(engine_->init());
  auto [general, aac] = createTwins(kMp3);
  engine_->play(general, true);
  engine_->play(aac, true);
  ASSERT_TRUE(soundsWithin());
  // Audio waiting in the ring (a second of it: 16 kB of the MP3), not only the first frames a
  // slow (sanitized, loaded) decoder has made so far.
  ASSERT_TRUE(waitUntil([&] { return stream(kMp3)->served() >= 16000; }));
  for (int round = 0; round < 3; ++round) {
    engine_->free();
    ASSERT_TRUE(engine_->init());
    std::tie(general, aac) = createTwins(kMp3);
    engine_->play(general, true);
    engine_->play(aac, true);
    // Decoded audio is waiting: the first render after the restart already sounds.
    EXPECT_GT(render(), 0.01);
    EXPECT_EQ(engine_->isActive(general), BASS_ACTIVE_PLAYING);
    EXPECT_EQ(engine_->isActive(aac), BASS_ACTIVE_STOPPED);
  }
  EXPECT_EQ(opens(kMp3), 1);
  EXPECT_NE(engine_->tags(general, BASS_TAG_ICY), nullptr);
}

TEST_F(EngineTest, AWarmConnectionNobodyTakesIsClosed) {
  makeEngine(200ms);
  ASSERT_TRUE(engine_->init());
  const DWORD general = engine_->create(kMp3, CreationKind::General);
  engine_->play(general, true);
  ASSERT_TRUE(soundsWithin());
  engine_->free();
  EXPECT_EQ(engine_->liveSources(), 1u);
  EXPECT_TRUE(waitUntil([&] { return engine_->liveSources() == 0; }));
  EXPECT_TRUE(stream(kMp3)->cancelled());
  ASSERT_TRUE(engine_->init());
  engine_->create(kMp3, CreationKind::General);
  EXPECT_EQ(opens(kMp3), 2);
}

TEST_F(EngineTest, APreparedAddressIsSilentUntilCreatedThenTakenOverWithAudioWaiting) {
  engine_->prepare(kMp3);  // before init, as at start-up
  engine_->prepare(kMp3);  // a second hint of the same address changes nothing
  ASSERT_TRUE(waitUntil(
      [&] { return stream(kMp3) && stream(kMp3)->state() == net::StreamState::Streaming; }));
  std::this_thread::sleep_for(300ms);  // time to decode some audio
  EXPECT_LT(render(), 0.001) << "a hint must never sound";
  ASSERT_TRUE(engine_->init());
  auto [general, aac] = createTwins(kMp3);
  engine_->play(general, true);
  engine_->play(aac, true);
  EXPECT_GT(render(), 0.01) << "the first render after the creation already sounds";
  EXPECT_EQ(opens(kMp3), 1);
}

TEST_F(EngineTest, AHintNobodyTakesUpIsClosed) {
  makeEngine(200ms);
  engine_->prepare(kMp3);
  EXPECT_EQ(engine_->liveSources(), 1u);
  EXPECT_TRUE(waitUntil([&] { return engine_->liveSources() == 0; }));
  EXPECT_TRUE(stream(kMp3)->cancelled());
}

TEST_F(EngineTest, TagsComeFromTheHeadAndTheLatestMetadata) {
  ASSERT_TRUE(engine_->init());
  const auto [general, aac] = createTwins(kMp3);
  engine_->play(general, true);
  ASSERT_TRUE(waitUntil([&] { return engine_->isActive(general) == BASS_ACTIVE_PLAYING; }));
  const char* icy = engine_->tags(general, BASS_TAG_ICY);
  ASSERT_NE(icy, nullptr);
  EXPECT_EQ(std::string(icy, 31), std::string("ICY 200 OK\0icy-name:Fake Radio\0\0", 31));
  EXPECT_EQ(engine_->tags(general, BASS_TAG_HTTP), nullptr);
  EXPECT_STREQ(engine_->tags(general, BASS_TAG_META), "StreamTitle='First';");
  stream(kMp3)->setMeta("StreamTitle='Second';");
  EXPECT_STREQ(engine_->tags(general, BASS_TAG_META), "StreamTitle='Second';");
  // The title parsed beside the block the window reads, ';' and all.
  stream(kMp3)->setMeta("StreamTitle='Rock;Roll - Live';StreamUrl='';");
  EXPECT_STREQ(engine_->tags(general, BASS_TAG_META),
               "StreamTitle='Rock;Roll - Live';StreamUrl='';");
  EXPECT_EQ(engine_->title(general), (SongTitle{"Rock;Roll", "Live", "Rock;Roll - Live"}));
  EXPECT_EQ(engine_->title(aac), std::nullopt) << "the twin that does not play has no title";

  const auto [g2, aacHandle] = createTwins(kAac);
  engine_->play(aacHandle, true);
  ASSERT_TRUE(
      waitUntil([&, a = aacHandle] { return engine_->isActive(a) == BASS_ACTIVE_PLAYING; }));
  const char* http = engine_->tags(aacHandle, BASS_TAG_HTTP);
  ASSERT_NE(http, nullptr);
  EXPECT_STREQ(http, "HTTP/1.0 200 OK");
  EXPECT_EQ(engine_->tags(aacHandle, BASS_TAG_ICY), nullptr);
  EXPECT_EQ(engine_->tags(g2, BASS_TAG_HTTP), nullptr);
}

TEST_F(EngineTest, CallsOnZeroAndUnknownHandlesDoNothing) {
  ASSERT_TRUE(engine_->init());
  for (DWORD h : {0u, 12345u}) {
    EXPECT_EQ(engine_->isActive(h), BASS_ACTIVE_STOPPED);
    EXPECT_FALSE(engine_->play(h, true));
    EXPECT_FALSE(engine_->stop(h));
    EXPECT_EQ(engine_->tags(h, BASS_TAG_META), nullptr);
  }
  EXPECT_EQ(drops_, 0);
}

TEST_F(EngineTest, AStreamThatEndsConnectsAgainByItselfAndKeepsItsTags) {
  RetryPolicy retry;
  retry.firstPause = 300ms;
  makeEngine(5s, retry);
  ASSERT_TRUE(engine_->init());
  const std::string once = "http://radio.test/once.mp3";
  const DWORD general = engine_->create(once, CreationKind::General);
  engine_->play(general, true);
  ASSERT_TRUE(soundsWithin());
  stream(once)->setMeta("StreamTitle='Last';");
  // The 3 s file ends: the handle stalls while it connects again, and shows what it showed.
  ASSERT_TRUE(waitUntil(
      [&] {
        render(512);
        return engine_->isActive(general) == BASS_ACTIVE_STALLED;
      },
      10s));
  EXPECT_STREQ(engine_->tags(general, BASS_TAG_META), "StreamTitle='Last';");
  const char* icy = engine_->tags(general, BASS_TAG_ICY);
  ASSERT_NE(icy, nullptr);
  EXPECT_STREQ(icy, "ICY 200 OK");
  // Without any call, the same handle sounds again from a new connection.
  EXPECT_TRUE(waitUntil(
      [&] {
        render(512);
        return opens(once) == 2 && engine_->isActive(general) == BASS_ACTIVE_PLAYING;
      },
      10s));
  EXPECT_TRUE(soundsWithin());
  EXPECT_STREQ(engine_->tags(general, BASS_TAG_META), "StreamTitle='First';");
}

// A playlist plays its entry; when the entry ends the playlist is fetched again, and the tags
// never show the playlist's own response, only the station's.
TEST_F(EngineTest, APlaylistIsResolvedAgainOnReconnectWithoutShowingItsOwnHead) {
  RetryPolicy retry;
  retry.firstPause = 100ms;
  makeEngine(5s, retry);
  ASSERT_TRUE(engine_->init());
  const std::string list = "http://radio.test/list.m3u";
  const std::string once = "http://radio.test/once.mp3";
  const DWORD general = engine_->create(list, CreationKind::General);
  engine_->play(general, true);
  bool sawPlaylistHead = false;
  bool sawStation = false;
  EXPECT_TRUE(waitUntil(
      [&] {
        render(512);
        sawPlaylistHead = sawPlaylistHead || engine_->tags(general, BASS_TAG_HTTP) != nullptr;
        sawStation = sawStation || engine_->tags(general, BASS_TAG_ICY) != nullptr;
        return opens(list) == 2 && opens(once) == 2 &&
               engine_->isActive(general) == BASS_ACTIVE_PLAYING;
      },
      15s));
  EXPECT_TRUE(sawStation);
  EXPECT_FALSE(sawPlaylistHead);
  EXPECT_STREQ(engine_->tags(general, BASS_TAG_ICY), "ICY 200 OK");
}

TEST_F(EngineTest, AServerThatIsGoneIsTriedAgainWithGrowingPauses) {
  RetryPolicy retry;
  retry.firstPause = 50ms;
  retry.longestPause = 400ms;
  makeEngine(5s, retry);
  ASSERT_TRUE(engine_->init());
  const std::string gone = "http://radio.test/gone.mp3";
  const DWORD general = engine_->create(gone, CreationKind::General);
  engine_->play(general, true);
  ASSERT_TRUE(soundsWithin());
  ASSERT_TRUE(waitUntil(
      [&] {
        render(4096);
        return opens(gone) >= 7;
      },
      15s));
  const auto times = openTimes(gone);
  // Refused at once each time, yet never tried again sooner than the pause: 50, 100, 200 ms,
  // then 400 ms for good.
  const std::array<std::chrono::milliseconds, 5> pauses{100ms, 200ms, 400ms, 400ms, 400ms};
  for (std::size_t i = 0; i < pauses.size(); ++i)
    EXPECT_GE(times[i + 2] - times[i + 1], pauses[i])
        << "between tries " << i + 1 << " and " << i + 2;
  EXPECT_EQ(engine_->isActive(general), BASS_ACTIVE_STALLED);
  // The first connection's head is still what the tags show.
  EXPECT_STREQ(engine_->tags(general, BASS_TAG_ICY), "ICY 200 OK");
  EXPECT_TRUE(engine_->stop(general));
  EXPECT_EQ(engine_->isActive(general), BASS_ACTIVE_STOPPED);
}

// News every 10 ms (Source::retryNow, as the network watch calls it) after the station went
// away: a refused connection gets at most one early try per pause, a server's 404 none.
TEST_F(EngineTest, NewsAddsAtMostOneTryPerPauseAndNoneAfterTheServersAnswer) {
  RetryPolicy retry;
  retry.firstPause = 200ms;
  retry.longestPause = 800ms;
  makeEngine(5s, retry);
  // Pauses from the end: 200, 400, 800, 800 ms. Within 2 s of the second try: 4 pauses at most.
  const struct {
    std::string url;
    int most;
  } cases[] = {{"http://radio.test/404.mp3", 2 + 4}, {"http://radio.test/gone.mp3", 2 + 2 * 4}};
  for (const auto& c : cases) {
    ASSERT_TRUE(engine_->init());
    engine_->play(engine_->create(c.url, CreationKind::General), true);
    ASSERT_TRUE(soundsWithin());
    ASSERT_TRUE(waitUntil([&] { return render(4096) >= 0 && opens(c.url) >= 2; }, 10s));
    for (const auto from = std::chrono::steady_clock::now();
         std::chrono::steady_clock::now() - from < 2s; std::this_thread::sleep_for(10ms)) {
      engine_->retryNow();
      render(512);
    }
    EXPECT_LE(opens(c.url), c.most) << c.url;
    engine_->free();
  }
}

TEST_F(EngineTest, AFreedSourceThatEndsIsNotConnectedAgain) {
  RetryPolicy retry;
  retry.firstPause = 20ms;
  makeEngine(2s, retry);
  ASSERT_TRUE(engine_->init());
  const std::string once = "http://radio.test/once.mp3";
  const DWORD general = engine_->create(once, CreationKind::General);
  engine_->play(general, true);
  ASSERT_TRUE(soundsWithin());
  engine_->free();
  // Nothing plays it any more: it ends where it is and is closed, without a second connection.
  EXPECT_TRUE(waitUntil(
      [&] {
        render(4096);
        return engine_->liveSources() == 0;
      },
      10s));
  EXPECT_EQ(opens(once), 1);
}

TEST_F(EngineTest, ThousandCreateFreeCyclesLeaveNothingBehind) {
  ASSERT_TRUE(engine_->init());
  auto [general, aac] = createTwins(kMp3);
  engine_->play(general, true);
  ASSERT_TRUE(soundsWithin());
  const std::size_t threadsBefore = threadCount();
  for (int i = 0; i < 1000; ++i) {
    engine_->free();
    ASSERT_TRUE(engine_->init());
    // The window's pattern: the same address, and now and then another one.
    const char* url = i % 100 == 99 ? kAac : kMp3;
    std::tie(general, aac) = createTwins(url);
    engine_->play(general, true);
    engine_->play(aac, true);
    render(64);
  }
  EXPECT_EQ(opens(kMp3), 1);
  EXPECT_LE(engine_->liveSources(), 2u);
  EXPECT_TRUE(waitUntil([&] { return threadCount() <= threadsBefore + 2; }));
}

// The output is wanted exactly while a channel plays and is not paused, whatever the way there.
TEST_F(EngineTest, TheOutputIsWantedOnlyWhileAChannelPlaysUnpaused) {
  ASSERT_TRUE(engine_->init());
  EXPECT_EQ(output_.wanted, false) << "a new output has nothing to play";
  auto [general, aac] = createTwins(kMp3);
  using Step = std::pair<const char*, std::function<void()>>;
  const std::vector<std::pair<Step, bool>> steps{
      {{"play general", [&] { engine_->play(general, true); }}, true},
      {{"play aac", [&] { engine_->play(aac, true); }}, true},
      {{"pause", [&] { engine_->pause(general, true); }}, false},
      {{"unpause", [&] { engine_->pause(general, false); }}, true},
      {{"stop the silent twin", [&] { engine_->stop(aac); }}, true},
      {{"stop", [&] { engine_->stop(general); }}, false},
      {{"play again", [&] { engine_->play(general, true); }}, true},
      {{"free", [&] { engine_->free(); }}, false},
      {{"init", [&] { ASSERT_TRUE(engine_->init()); }}, false},
      {{"create and play",
        [&] {
          std::tie(general, aac) = createTwins(kMp3);
          engine_->play(general, true);
        }},
       true},
      {{"pause, then stop",
        [&] {
          engine_->pause(general, true);
          engine_->stop(general);
        }},
       false},
  };
  for (const auto& [step, wanted] : steps) {
    SCOPED_TRACE(step.first);
    step.second();
    EXPECT_EQ(output_.wanted, wanted);
  }
  // A press hints that sound is coming: the output gets ready for it.
  const int prepares = output_.prepares;
  engine_->prepare(kAac);
  EXPECT_EQ(output_.prepares, prepares + 1);
}

// A stopped player receives nothing: once every channel of a source has been stopped for as long
// as a freed one is kept warm, its connection is closed; playing again connects anew, for
// either creation of the pair. A paused source goes on receiving however long it is paused.
TEST_F(EngineTest, AStoppedSourceIsClosedAfterAWhileAndAPausedOneIsNot) {
  makeEngine(300ms);
  ASSERT_TRUE(engine_->init());
  const auto [general, aac] = createTwins(kMp3);
  engine_->play(general, true);
  engine_->play(aac, true);
  ASSERT_TRUE(soundsWithin());

  engine_->pause(general, true);
  std::this_thread::sleep_for(900ms);  // three times the warm time
  EXPECT_FALSE(stream(kMp3)->cancelled()) << "a paused source stopped receiving";
  engine_->pause(general, false);
  EXPECT_TRUE(soundsWithin());

  engine_->stop(general);
  engine_->stop(aac);
  ASSERT_TRUE(waitUntil([&] { return stream(kMp3)->cancelled(); }))
      << "a stopped source went on receiving";
  EXPECT_EQ(engine_->isActive(general), BASS_ACTIVE_STOPPED);
  EXPECT_NE(engine_->tags(general, BASS_TAG_ICY), nullptr) << "what it showed stays";
  EXPECT_EQ(opens(kMp3), 1);

  // The silent twin's play first: the pair moves to the new connection together, once.
  EXPECT_TRUE(engine_->play(aac, true));
  EXPECT_TRUE(engine_->play(general, true));
  EXPECT_EQ(opens(kMp3), 2);
  EXPECT_TRUE(soundsWithin());
  EXPECT_TRUE(waitUntil([&] { return engine_->isActive(general) == BASS_ACTIVE_PLAYING; }));
  EXPECT_EQ(engine_->isActive(aac), BASS_ACTIVE_STOPPED);

  // Freed meanwhile, the closed source is not kept warm nor taken over.
  engine_->stop(general);
  engine_->stop(aac);
  ASSERT_TRUE(waitUntil([&] { return stream(kMp3)->cancelled(); }));
  engine_->free();
  ASSERT_TRUE(engine_->init());
  const DWORD again = engine_->create(kMp3, CreationKind::General);
  engine_->play(again, true);
  EXPECT_EQ(opens(kMp3), 3);
  EXPECT_TRUE(soundsWithin());
  EXPECT_TRUE(waitUntil([&] { return engine_->liveSources() == 1; }));
}

}  // namespace
}  // namespace radiolist::audio
