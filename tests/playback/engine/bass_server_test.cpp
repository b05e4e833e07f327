// The nine calls against real servers: Icecast on loopback and a PulseAudio null sink, whose
// monitor the test records to hear what was played.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "playback/bass.h"
#include "playback/engine/shutdown.h"
#include "support/listening_test.h"
#include "support/proc_status.h"
#include "support/signal_analysis.h"

namespace {

using namespace std::chrono_literals;
using radiolist::test::startLikeTheWindow;
using radiolist::test::tagLines;
using radiolist::test::threadCount;
using radiolist::test::WindowChannel;

class BassServerTest : public radiolist::test::ListeningTest {};

TEST_F(BassServerTest, TheMp3MountIsHeardThroughTheGeneralCreationOnly) {
  const WindowChannel p = startLikeTheWindow(servers().mp3Url());
  ASSERT_NE(p.general, 0u);
  ASSERT_NE(p.aac, 0u);
  EXPECT_TRUE(hears(440));
  EXPECT_EQ(BASS_ChannelIsActive(p.general), BASS_ACTIVE_PLAYING);
  EXPECT_EQ(BASS_ChannelIsActive(p.aac), BASS_ACTIVE_STOPPED);
  EXPECT_EQ(BASS_ChannelGetTags(p.aac, BASS_TAG_HTTP), nullptr);
  EXPECT_EQ(BASS_ChannelGetTags(p.aac, BASS_TAG_META), nullptr);
}

TEST_F(BassServerTest, TheAacMountIsHeardThroughTheAacCreationOnly) {
  const WindowChannel p = startLikeTheWindow(servers().aacUrl());
  EXPECT_TRUE(hears(880));
  EXPECT_EQ(BASS_ChannelIsActive(p.aac), BASS_ACTIVE_PLAYING);
  EXPECT_EQ(BASS_ChannelIsActive(p.general), BASS_ACTIVE_STOPPED);
  EXPECT_EQ(BASS_ChannelGetTags(p.general, BASS_TAG_HTTP), nullptr);
  EXPECT_NE(BASS_ChannelGetTags(p.aac, BASS_TAG_HTTP), nullptr);
}

TEST_F(BassServerTest, AWrongCreationAloneNeverSounds) {
  // The general creation of the AAC mount, and the AAC creation of the MP3 and Ogg mounts.
  const std::vector<std::pair<std::string, bool>> cases{
      {servers().aacUrl(), true}, {servers().mp3Url(), false}, {servers().oggUrl(), false}};
  for (const auto& [url, general] : cases) {
    SCOPED_TRACE(url);
    const WindowChannel p = startLikeTheWindow(url, general, !general);
    const HSTREAM h = general ? p.general : p.aac;
    ASSERT_NE(h, 0u);
    recorder().record(300ms);  // the previous test's sound playing out of the device queue
    EXPECT_TRUE(silentFor(2500ms));
    EXPECT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_STOPPED);
    EXPECT_EQ(BASS_ChannelGetTags(h, BASS_TAG_HTTP), nullptr);
  }
}

TEST_F(BassServerTest, TheOggMountPlaysThroughTheGeneralCreation) {
  const WindowChannel p = startLikeTheWindow(servers().oggUrl());
  EXPECT_TRUE(hears(550));
  EXPECT_EQ(BASS_ChannelIsActive(p.aac), BASS_ACTIVE_STOPPED);
}

TEST_F(BassServerTest, AStoppedStreamIsSilentAndRestartResumes) {
  const WindowChannel p = startLikeTheWindow(servers().mp3Url());
  ASSERT_TRUE(hears(440));
  BASS_ChannelStop(p.general);
  EXPECT_EQ(BASS_ChannelIsActive(p.general), BASS_ACTIVE_STOPPED);
  recorder().record(150ms);  // what reached the monitor before the stop
  EXPECT_TRUE(silentFor(1500ms));
  BASS_ChannelPlay(p.general, 1);
  EXPECT_TRUE(hears(440, 3s));
  EXPECT_EQ(BASS_ChannelIsActive(p.general), BASS_ACTIVE_PLAYING);
}

TEST_F(BassServerTest, TwoCreationsOfOneAddressNeverSoundTwice) {
  // Levels of two addresses are compared: one the library may have measured and raised already,
  // one it has not, so levelling would tell them apart.
  radiolist::audio::setLevelLoudness(false);
  struct LevelAgain {
    ~LevelAgain() { radiolist::audio::setLevelLoudness(true); }
  } levelAgain;
  for (const auto& url : {servers().mp3Url(), servers().oggUrl()}) {
    SCOPED_TRACE(url);
    startLikeTheWindow(url, true, false);
    ASSERT_TRUE(hears(url == servers().mp3Url() ? 440 : 550));
    // A source still warm from an earlier test has up to 1.5 s of audio levelled before the
    // switch waiting in its ring.
    recorder().record(2s);
    const double single = levelOver(1s);
    // A fresh pair: a query Icecast ignores makes it another address, so nothing warm is taken.
    startLikeTheWindow(url + "?pair=" + std::to_string(std::random_device{}()));
    ASSERT_TRUE(hears(url == servers().mp3Url() ? 440 : 550));
    const double twins = levelOver(1s);
    EXPECT_NEAR(twins, single, 0.15 * single) << "two voices would be twice as loud";
  }
}

TEST_F(BassServerTest, FreeSilencesAtOnceAndEndsTheHandles) {
  const WindowChannel p = startLikeTheWindow(servers().mp3Url());
  ASSERT_TRUE(hears(440));
  BASS_Free();
  recorder().record(150ms);
  EXPECT_TRUE(silentFor(1500ms));
  EXPECT_EQ(BASS_ChannelIsActive(p.general), BASS_ACTIVE_STOPPED);
  EXPECT_EQ(BASS_ChannelGetTags(p.general, BASS_TAG_HTTP), nullptr);
  BASS_ChannelPlay(p.general, 1);  // a freed handle does nothing
  EXPECT_TRUE(silentFor(500ms));
}

// The window restarts the current channel on every choice; the warm connection makes that
// restart continue the tone without a gap a listener would notice.
TEST_F(BassServerTest, RestartingTheSameAddressKeepsPlayingWithoutAGap) {
  startLikeTheWindow(servers().mp3Url());
  ASSERT_TRUE(hears(440));
  const auto from = recorder().position();
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(300ms);
    startLikeTheWindow(servers().mp3Url());
  }
  recorder().record(500ms);
  const auto heard = recorder().since(from);
  // Every 20 ms window of the recording holds the tone. A sanitizer build runs several times
  // slower than real time allows, so there the restarts need only keep the channel playing.
  const std::size_t window = 882;
  std::size_t quiet = 0;
  for (std::size_t at = 0; at + window <= heard.size(); at += window)
    quiet += radiolist::test::rms(std::span(heard).subspan(at, window)) < 0.02;
#ifdef RADIOLIST_SANITIZED
  RecordProperty("quiet_windows", static_cast<int>(quiet));
  EXPECT_LT(quiet * window, heard.size() / 4) << quiet << " quiet 20 ms windows";
  EXPECT_GT(radiolist::test::toneShare(heard, 440, 44100), 0.5);
#else
  EXPECT_EQ(quiet, 0u);
#endif
}

TEST_F(BassServerTest, TagsCarryTheHeadersAndFollowTheTitle) {
  const WindowChannel p = startLikeTheWindow(servers().mp3Url());
  ASSERT_TRUE(hears(440));
  // Icecast answers "HTTP/1.0 200 OK" with icy-* headers: they are HTTP tags.
  EXPECT_EQ(BASS_ChannelGetTags(p.general, BASS_TAG_ICY), nullptr);
  const auto head = tagLines(BASS_ChannelGetTags(p.general, BASS_TAG_HTTP));
  ASSERT_FALSE(head.empty());
  EXPECT_EQ(head.front(), "HTTP/1.0 200 OK");
  EXPECT_NE(std::find(head.begin(), head.end(), "icy-name:Test Radio 440"), head.end());

  const std::string mount = servers().value("MOUNT_TONE440_MP3");
  // A ';' inside: the window's label cuts there (as designed), the parsed title keeps it.
  const std::string song = std::to_string(std::random_device{}() % 100000);
  const std::string title = "Rock;Roll - " + song;
  ASSERT_EQ(servers().setIcecastTitle(mount, title), "");
  const std::string expected = "StreamTitle='" + title + "';";
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  std::string meta;
  while (std::chrono::steady_clock::now() < deadline) {
    const char* m = BASS_ChannelGetTags(p.general, BASS_TAG_META);
    meta = m != nullptr ? m : "";
    if (meta.starts_with(expected)) break;
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(meta.starts_with(expected)) << meta;
  EXPECT_EQ(radiolist::audio::channelTitle(p.general),
            (radiolist::SongTitle{"Rock;Roll", song, title}));
  EXPECT_EQ(radiolist::audio::channelTitle(p.aac), std::nullopt);
  EXPECT_EQ(servers().setIcecastTitle(mount, "Test Artist - Tone 440"), "");
}

TEST_F(BassServerTest, ImpossibleAddressesGiveZero) {
  BASS_Free();
  ASSERT_EQ(BASS_Init(-1, 44100, 0, nullptr, nullptr), 1);
  for (const std::u16string& url :
       {std::u16string(u""), std::u16string(u"http://"), std::u16string(u"ftp://127.0.0.1/a.mp3"),
        std::u16string(u"http://127.0.0.1/" + std::u16string(100000, u'a'))}) {
    EXPECT_EQ(BASS_StreamCreateURL(url.c_str(), 0, BASS_UNICODE, nullptr, nullptr), 0u);
    EXPECT_EQ(BASS_AAC_StreamCreateURL(url.c_str(), 0, BASS_UNICODE, nullptr, nullptr), 0u);
  }
  EXPECT_EQ(BASS_StreamCreateURL(nullptr, 0, 0, nullptr, nullptr), 0u);
  // UTF-8 without BASS_UNICODE works as well.
  const std::string url = servers().mp3Url();
  const HSTREAM h = BASS_StreamCreateURL(url.c_str(), 0, 0, nullptr, nullptr);
  ASSERT_NE(h, 0u);
  BASS_ChannelPlay(h, 1);
  EXPECT_TRUE(hears(440));
}

// An address that looks fine but cannot be reached gets a handle at once; it never plays.
TEST_F(BassServerTest, AnUnreachableAddressGetsAHandleThatNeverPlays) {
  const WindowChannel p = startLikeTheWindow("http://127.0.0.1:1/refused.mp3");
  ASSERT_NE(p.general, 0u);
  ASSERT_NE(p.aac, 0u);
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (BASS_ChannelIsActive(p.general) != BASS_ACTIVE_STOPPED &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(50ms);
  EXPECT_EQ(BASS_ChannelIsActive(p.general), BASS_ACTIVE_STOPPED);
  EXPECT_EQ(BASS_ChannelIsActive(p.aac), BASS_ACTIVE_STOPPED);
  EXPECT_EQ(BASS_ChannelGetTags(p.general, BASS_TAG_HTTP), nullptr);
  recorder().record(300ms);
  EXPECT_TRUE(silentFor(500ms));
  // Playing it again changes nothing.
  BASS_ChannelPlay(p.general, 1);
  EXPECT_TRUE(silentFor(500ms));
}

TEST_F(BassServerTest, AThousandCreateFreeCyclesKeepTheThreadCount) {
  startLikeTheWindow(servers().mp3Url());
  ASSERT_TRUE(hears(440));
  const std::size_t before = threadCount();
  const std::string unreachable = "http://127.0.0.1:1/none.mp3";  // refused at once
  for (int i = 0; i < 1000; ++i)
    startLikeTheWindow(i % 50 == 25 ? unreachable : servers().mp3Url());
  EXPECT_TRUE(hears(440));
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (threadCount() > before + 2 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(100ms);
  EXPECT_LE(threadCount(), before + 2);
}

}  // namespace
