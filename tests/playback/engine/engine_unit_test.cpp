// The engine's pure decisions and its lock-free parts, without network or sound server.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#include <span>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/log_domain.h"
#include "playback/engine/decoder.h"
#include "playback/engine/family.h"
#include "playback/engine/ffmpeg_util.h"
#include "playback/engine/handle_table.h"
#include "playback/engine/icy_title.h"
#include "playback/engine/log_domains.h"
#include "playback/engine/mixer.h"
#include "playback/engine/retry.h"
#include "playback/engine/ring_buffer.h"
#include "playback/engine/tag_block.h"
#include "playback/engine/url_text.h"
#include "playback/log/log.h"
#include "playback/log/thread_check.h"
#include "playback/log/thread_name.h"
#include "playback/log/timeline.h"
#include "playback/net/log_domain.h"

extern "C" {
#include <libavutil/avstring.h>
}

namespace radiolist::audio {
namespace {

using namespace std::string_literals;

TEST(FamilyTest, AacCodecsAndMp4ContainersBelongToTheAacCall) {
  EXPECT_EQ(classifyFamily("aac", "aac"), Family::Aac);        // ADTS
  EXPECT_EQ(classifyFamily("loas", "aac_latm"), Family::Aac);  // LATM
  EXPECT_EQ(classifyFamily("mpegts", "aac"), Family::Aac);     // AAC in a transport stream
  EXPECT_EQ(classifyFamily("mov,mp4,m4a,3gp,3g2,mj2", "aac"), Family::Aac);
  EXPECT_EQ(classifyFamily("mov,mp4,m4a,3gp,3g2,mj2", "alac"), Family::Aac);  // any MP4
}

TEST(FamilyTest, EverythingElseBelongsToTheGeneralCall) {
  EXPECT_EQ(classifyFamily("mp3", "mp3"), Family::General);
  EXPECT_EQ(classifyFamily("ogg", "vorbis"), Family::General);
  EXPECT_EQ(classifyFamily("ogg", "opus"), Family::General);
  EXPECT_EQ(classifyFamily("flac", "flac"), Family::General);
  EXPECT_EQ(classifyFamily("wav", "pcm_s16le"), Family::General);
  // A name that merely contains "mp4" is not the MP4 demuxer.
  EXPECT_EQ(classifyFamily("xmp4x", "mp3"), Family::General);
}

TEST(FamilyTest, NoAudioCodecIsUnplayable) {
  EXPECT_EQ(classifyFamily("mp3", ""), Family::Unplayable);
  EXPECT_EQ(classifyFamily("aac", "none"), Family::Unplayable);
}

TEST(FamilyTest, EachKindPlaysOnlyItsOwnFamily) {
  EXPECT_TRUE(kindPlays(CreationKind::General, Family::General));
  EXPECT_TRUE(kindPlays(CreationKind::Aac, Family::Aac));
  EXPECT_FALSE(kindPlays(CreationKind::General, Family::Aac));
  EXPECT_FALSE(kindPlays(CreationKind::Aac, Family::General));
  for (Family f : {Family::Undecided, Family::Unplayable}) {
    EXPECT_FALSE(kindPlays(CreationKind::General, f));
    EXPECT_FALSE(kindPlays(CreationKind::Aac, f));
  }
}

TEST(ProbeChoiceTest, ContentTypeNamesADemuxer) {
  EXPECT_EQ(demuxerForContentType("audio/mpeg"), "mp3");
  EXPECT_EQ(demuxerForContentType("Audio/MPEG; charset=x"), "mp3");
  EXPECT_EQ(demuxerForContentType("audio/aacp"), "aac");
  EXPECT_EQ(demuxerForContentType("application/ogg"), "ogg");
  EXPECT_EQ(demuxerForContentType("audio/mp4"), "mp4");
  EXPECT_EQ(demuxerForContentType("text/html"), "");
  EXPECT_EQ(demuxerForContentType(""), "");
}

TEST(ProbeChoiceTest, SureDataWinsOverContentTypeWhichWinsOverAWeakGuess) {
  // A station that sends AAC as "audio/mpeg": the data decides.
  EXPECT_EQ(chooseDemuxer("aac", 51, "mp3", false), "aac");
  // MP3 that starts mid-frame scores only 25: the content type decides at once.
  EXPECT_EQ(chooseDemuxer("mp3", 25, "mp3", false), "mp3");
  EXPECT_EQ(chooseDemuxer("mpegts", 2, "aac", false), "aac");
  // No content type and a weak guess: probe more, and take the guess in the last round.
  EXPECT_EQ(chooseDemuxer("mp3", 25, "", false), "");
  EXPECT_EQ(chooseDemuxer("mp3", 25, "", true), "mp3");
  EXPECT_EQ(chooseDemuxer("", 0, "", true), "");
}

TEST(ProbeChoiceTest, OnlyAudioContainersAreAllowed) {
  for (const char* name : {"mp3", "aac", "loas", "ogg", "flac", "mov,mp4,m4a,3gp,3g2,mj2", "mp4",
                           "mpegts", "wav", "asf"}) {
    EXPECT_TRUE(isAllowedDemuxer(name)) << name;
    // FFmpeg knows each by that name, or the whitelist would refuse what the table chooses.
    const AVInputFormat* format = av_find_input_format(name);
    ASSERT_NE(format, nullptr) << name;
    EXPECT_GT(av_match_list(format->name, kAllowedDemuxers, ','), 0) << name;
  }
  for (const char* name :
       {"concat", "sdp", "hls", "rtsp", "image2", "asf_o", "mp", "mp3x", "", ","}) {
    EXPECT_FALSE(isAllowedDemuxer(name)) << name;
  }
}

TEST(ProbeChoiceTest, BodiesThatNameOtherResourcesGetNoDemuxerOfTheirOwn) {
  const std::string sdp =
      "v=0\r\ns=x\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio 5004 RTP/AVP 14\r\n";
  for (const std::string& body :
       {"ffconcat version 1.0\nfile local.mp3\n"s, sdp,
        "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nhttp://127.0.0.1/v.m3u8\n"s}) {
    // FFmpeg alone would choose concat, sdp and hls; ours falls back to the content type.
    const std::span prefix(reinterpret_cast<const std::uint8_t*>(body.data()), body.size());
    EXPECT_EQ(probeAllowedFormat(prefix, "", true), nullptr) << body;
    const AVInputFormat* byType = probeAllowedFormat(prefix, "audio/mpeg", false);
    ASSERT_NE(byType, nullptr) << body;
    EXPECT_STREQ(byType->name, "mp3") << body;
  }
  EXPECT_EQ(chooseDemuxer("concat", 100, "mp3", false), "mp3");
  EXPECT_EQ(chooseDemuxer("sdp", 50, "", true), "");
}

TEST(RetryTest, TheWayAConnectionEndedChoosesThePause) {
  using net::ConnectStep;
  using net::StreamError;
  struct Case {
    StreamError error;
    ConnectStep step;
    int status;
    Retry played;  // what follows once the address has played
  };
  const Case cases[] = {
      {StreamError::None, ConnectStep::None, 200, Retry::Soon},  // the server closed the stream
      {StreamError::Stalled, ConnectStep::None, 200, Retry::Soon},
      {StreamError::Transfer, ConnectStep::None, 200, Retry::Soon},
      {StreamError::Connect, ConnectStep::Refused, 0, Retry::Soon},
      {StreamError::Connect, ConnectStep::NameLookup, 0, Retry::Soon},
      {StreamError::Connect, ConnectStep::TimedOut, 0, Retry::Soon},
      {StreamError::Connect, ConnectStep::Tls, 0, Retry::Slowly},
      {StreamError::HttpStatus, ConnectStep::None, 404,
       Retry::Soon},  // the mount's encoder is away
      {StreamError::HttpStatus, ConnectStep::None, 502, Retry::Soon},
      {StreamError::HttpStatus, ConnectStep::None, 403, Retry::Slowly},  // full
      {StreamError::HttpStatus, ConnectStep::None, 503, Retry::Slowly},
      {StreamError::HttpStatus, ConnectStep::None, 429, Retry::Slowly},
      {StreamError::HttpStatus, ConnectStep::None, 410, Retry::GiveUp},
      {StreamError::TooManyRedirects, ConnectStep::None, 302, Retry::Slowly},
      {StreamError::BadUrl, ConnectStep::None, 0, Retry::GiveUp},
  };
  for (const Case& c : cases) {
    net::StreamStats end;
    end.error = c.error;
    end.connectStep = c.step;
    end.httpStatus = c.status;
    SCOPED_TRACE(::testing::Message() << static_cast<int>(c.error) << "/"
                                      << static_cast<int>(c.step) << "/" << c.status);
    EXPECT_EQ(retryAfter(end, true), c.played);
    EXPECT_EQ(retryAfter(end, false), Retry::GiveUp)
        << "an address that never played is not tried again";
  }
}

TEST(RetryScheduleTest, NewsCutsAStepShortOnceAndNeverAfterTheServersAnswer) {
  // Events on a fake clock (ms): "fail@T>N" an attempt that did not play ends at T and the next
  // goes out at N ("404@" the server answered, "slow@" a slow pause, "playedP@" it played P ms);
  // "noname@" it failed on a name lookup; "news@T>1" news while waiting acts (0: it does not);
  // "stall>1" / "mute>1" news on a stall of a connection that sounded / did not; "go" the next
  // attempt goes out.
  const struct {
    const char* what;
    const char* events;
  } cases[] = {
      {"one early try per step; a failed one waits out its step",
       "fail@0>500 news@100>1 go fail@150>500 news@200>0 go fail@500>1500 news@600>1 go "
       "fail@700>1500"},
      {"the server's answer keeps its pause", "404@0>500 news@100>0 go 404@500>1500 news@600>0"},
      {"a slow pause", "slow@0>30000 news@100>0"},
      {"news at the step's end or while connected", "fail@0>500 news@500>0 go news@600>0"},
      {"an early try that outlasts its step stands for its try",
       "fail@0>500 news@100>1 go fail@5100>6100"},
      {"playing 10 s starts the steps over",
       "fail@0>500 go fail@500>1500 go played10000@1500>2000"},
      {"a stall cancelled by news is the next step's early try",
       "stall>1 played20000@1000>1000 go mute>0 fail@1200>1500 news@1300>0"},
      {"an early try that sounded may be cancelled when it stalls",
       "stall>1 played20000@1000>1000 go stall>1 played2000@3000>3000 go fail@3100>4000"},
      {"a cancelled attempt the server answered", "stall>1 404@1000>1500"},
      {"an early try that found no name leaves the step's one for later news",
       "fail@0>500 news@100>1 go noname@150>500 news@200>1 go fail@250>500 news@300>0"},
  };
  using std::chrono::milliseconds;
  for (const auto& c : cases) {
    RetrySchedule schedule{RetryPolicy{}};
    const RetrySchedule::Clock::time_point zero{};
    std::istringstream events(c.events);
    for (std::string e; events >> e;) {
      if (e == "go") {
        schedule.connecting();
        continue;
      }
      const auto number = [&](char after) { return std::atoi(e.c_str() + e.find(after) + 1); };
      const auto at = zero + milliseconds(e.find('@') == std::string::npos ? 0 : number('@'));
      long got = 0;
      if (e.starts_with("news")) {
        got = schedule.newsWhileWaiting(at);
      } else if (e.starts_with("stall") || e.starts_with("mute")) {
        got = schedule.newsWhileStalled(e[0] == 's');
      } else {
        const int played = e.starts_with("played") ? std::atoi(e.c_str() + 6) : -1;
        got = (schedule.ended(at, {e[0] == 's' ? Retry::Slowly : Retry::Soon, e[0] == '4',
                                   played >= 0, milliseconds(played), e[0] == 'n'}) -
               zero) /
              milliseconds(1);
      }
      EXPECT_EQ(got, number('>')) << c.what << ": " << e;
    }
  }
}

// Each module's domain, and one the log has never heard of: a name is enough to be shown.
constexpr log::Domain kDomains[] = {net::kNetLog,      audio::kDecodeLog, audio::kOutputLog,
                                    audio::kEngineLog, kDesktopLog,       log::Domain{"hls", 9}};

TEST(LogTest, TheVariableNamesDomainsOrAll) {
  const struct {
    const char* value;
    std::vector<std::string_view> shown;
  } cases[] = {
      {"", {}},
      {"net", {"net"}},
      {"decode, output,,bogus", {"decode", "output"}},
      {"network,Net", {}},  // names are whole and exact
      {"hls:info", {"hls"}},
      {"all", {"net", "decode", "output", "engine", "desktop", "hls"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string_view> shown;
    for (const log::Domain& d : kDomains) {
      if (log::parseVerbosity(c.value).shows(d, log::Level::Info)) shown.push_back(d.name());
    }
    EXPECT_EQ(shown, c.shown) << '"' << c.value << '"';
  }
}

TEST(LogTest, EachModulesDomainHasANameAndABitOfItsOwn) {
  for (std::size_t i = 0; i < std::size(kDomains); ++i) {
    for (std::size_t j = i + 1; j < std::size(kDomains); ++j) {
      EXPECT_NE(kDomains[i].bit(), kDomains[j].bit()) << kDomains[i].name() << kDomains[j].name();
      EXPECT_NE(kDomains[i].name(), kDomains[j].name());
    }
  }
}

TEST(LogTest, ErrorsAndWarningsAlwaysShowTheOtherLevelsWhenNamed) {
  using audio::kEngineLog;
  using log::Domain;
  using log::Level;
  using net::kNetLog;
  const struct {
    const char* value;
    Domain domain;
    Level level;
    bool shown;
  } cases[] = {
      {"", kNetLog, Level::Warning, true},
      {"", kDesktopLog, Level::Error, true},
      {"", kNetLog, Level::Info, false},
      {"net", kNetLog, Level::Debug, true},
      {"net:info", kNetLog, Level::Info, true},
      {"net:info", kNetLog, Level::Debug, false},
      {"net:debug", kNetLog, Level::Debug, true},
      {"net:loud", kNetLog, Level::Info, false},
      {"all:info", kDesktopLog, Level::Info, true},
      {"desktop", kEngineLog, Level::Info, false},
      {" engine : debug ,net", kEngineLog, Level::Debug, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(log::parseVerbosity(c.value).shows(c.domain, c.level), c.shown)
        << '"' << c.value << "\" level " << static_cast<unsigned>(c.level);
  }
}

TEST(ThreadCheckDeathTest, ASecondThreadEndsTheProcessUnlessTheOwnerLetGo) {
  if (!log::kThreadChecks) GTEST_SKIP() << "off in this build: NDEBUG, no RADIOLIST_THREAD_CHECKS";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  log::ThreadCheck handedOn;
  handedOn.check();
  handedOn.release();
  std::thread([&] { handedOn.check(); }).join();  // the new owner: passes
  EXPECT_DEATH(
      {
        log::ThreadCheck check;
        check.check();
        check.check();
        std::thread([&] { check.check(); }).join();
      },
      "thread check failed: .*ASecondThread");
}

// Each side of the ring belongs to one thread until handed over: the producer passing from one
// thread to the next as the time shift hands a voice's ring between decoder and replay.
TEST(ThreadCheckDeathTest, EachSideOfTheRingHasOneThreadUntilHandedOver) {
  if (!log::kThreadChecks) GTEST_SKIP() << "off in this build: NDEBUG, no RADIOLIST_THREAD_CHECKS";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  SpscRing<int> ring(8);
  const int item = 1;
  int out = 0;
  // Handed to another thread and back; this thread, alive throughout, owns both sides at the end
  // (a thread that has ended may lend its id to the next).
  ring.write(std::span(&item, 1));
  ring.handProducerOver();
  std::thread([&] { ring.write(std::span(&item, 1)); }).join();
  ring.handProducerOver();
  ring.write(std::span(&item, 1));
  EXPECT_EQ(ring.read(std::span(&out, 1)), 1u);
  EXPECT_DEATH(std::thread([&] { ring.write(std::span(&item, 1)); }).join(), "thread check failed");
  EXPECT_DEATH(std::thread([&] { ring.discard(1); }).join(), "thread check failed");
}

TEST(TagBlockTest, HeaderLinesAreNulTerminatedAndEndWithAnEmptyString) {
  EXPECT_EQ(headerBlock({"ICY 200 OK", "icy-name:A"}), "ICY 200 OK\0icy-name:A\0\0"s);
  EXPECT_EQ(headerBlock({}), "\0"s);
  EXPECT_EQ(headerBlock({"a\0b"s, ""}), "a\0\0\0"s);  // an empty line would end the run early
}

TEST(TagBlockTest, IcyAndHttpTagsFollowTheStatusLine) {
  const std::vector<std::string> icy{"ICY 200 OK", "icy-name:Radio"};
  const std::vector<std::string> http{"HTTP/1.0 200 OK", "icy-name:Radio"};
  const std::optional<std::string> none;
  EXPECT_EQ(tagText(BASS_TAG_ICY, &icy, none), "ICY 200 OK\0icy-name:Radio\0\0"s);
  EXPECT_EQ(tagText(BASS_TAG_HTTP, &icy, none), std::nullopt);
  EXPECT_EQ(tagText(BASS_TAG_HTTP, &http, none), "HTTP/1.0 200 OK\0icy-name:Radio\0\0"s);
  EXPECT_EQ(tagText(BASS_TAG_ICY, &http, none), std::nullopt);
  EXPECT_EQ(tagText(BASS_TAG_ICY, nullptr, none), std::nullopt);  // no head yet
  const std::vector<std::string> empty;
  EXPECT_EQ(tagText(BASS_TAG_HTTP, &empty, none), std::nullopt);
  EXPECT_EQ(tagText(99, &http, "x"s), std::nullopt);
}

TEST(TagBlockTest, MetaIsTheLatestBlockUpToItsFirstNul) {
  EXPECT_EQ(tagText(BASS_TAG_META, nullptr, std::nullopt), std::nullopt);
  EXPECT_EQ(tagText(BASS_TAG_META, nullptr, "StreamTitle='A - B';"s), "StreamTitle='A - B';\0"s);
  EXPECT_EQ(tagText(BASS_TAG_META, nullptr, "T='x';\0\0\0"s), "T='x';\0"s);
}

TEST(HandleTableTest, HandlesAreNeverZeroAndNeverComeBackAfterRemoval) {
  HandleTable<int> table;
  const auto a = table.add(10);
  const auto b = table.add(20);
  EXPECT_NE(a, 0u);
  EXPECT_NE(a, b);
  ASSERT_NE(table.find(a), nullptr);
  EXPECT_EQ(*table.find(b), 20);
  EXPECT_EQ(table.find(0), nullptr);
  EXPECT_EQ(table.find(b + 1000), nullptr);
  table.clear();
  EXPECT_EQ(table.find(a), nullptr);
  const auto c = table.add(30);
  EXPECT_NE(c, a);
  EXPECT_NE(c, b);
  EXPECT_EQ(table.find(a), nullptr);
  EXPECT_EQ(*table.find(c), 30);
}

TEST(AddressTest, Utf16AddressesBecomeUtf8) {
  const char16_t plain[] = u"http://host/a.mp3";
  EXPECT_EQ(addressFromArgument(plain, true, 100), "http://host/a.mp3");
  const char16_t accented[] = u"http://h/\u00e9\u20ac\U0001F3B5";
  EXPECT_EQ(addressFromArgument(accented, true, 100),
            "http://h/\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xB5");
  const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00, 0};
  EXPECT_EQ(addressFromArgument(lone, true, 100),
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD");
}

TEST(AddressTest, Utf8AddressesPassAsTheyAre) {
  EXPECT_EQ(addressFromArgument("http://h/\xC3\xA9", false, 100), "http://h/\xC3\xA9");
  EXPECT_EQ(addressFromArgument("", false, 100), "");
}

TEST(AddressTest, MissingOrOverlongAddressesAreRefused) {
  EXPECT_EQ(addressFromArgument(nullptr, true, 100), std::nullopt);
  const std::u16string longUrl(200, u'a');
  EXPECT_EQ(addressFromArgument(longUrl.c_str(), true, 100), std::nullopt);
  EXPECT_EQ(addressFromArgument(std::string(200, 'a').c_str(), false, 100), std::nullopt);
  EXPECT_EQ(addressFromArgument(std::string(99, 'a').c_str(), false, 100), std::string(99, 'a'));
}

TEST(SpscRingTest, WrapsAroundAndRespectsItsCapacity) {
  SpscRing<int> ring(6);  // rounded up to 8
  EXPECT_EQ(ring.capacity(), 8u);
  const std::vector<int> a{1, 2, 3, 4, 5, 6};
  EXPECT_EQ(ring.write(a), 6u);
  std::vector<int> out(4);
  EXPECT_EQ(ring.read(out), 4u);
  EXPECT_EQ(out, (std::vector<int>{1, 2, 3, 4}));
  const std::vector<int> b{7, 8, 9, 10, 11, 12, 13};
  EXPECT_EQ(ring.write(b), 6u);  // 2 left + 6 free
  EXPECT_EQ(ring.writable(), 0u);
  EXPECT_EQ(ring.discard(3), 3u);  // drops 5, 6, 7
  out.assign(8, 0);
  EXPECT_EQ(ring.read(out), 5u);
  EXPECT_EQ(std::vector<int>(out.begin(), out.begin() + 5), (std::vector<int>{8, 9, 10, 11, 12}));
  EXPECT_EQ(ring.readable(), 0u);
  EXPECT_EQ(ring.discard(5), 0u);
}

// A generator writes a counting sequence in random chunk sizes while a verifier reads it in other
// random chunk sizes: every item must arrive once, in order, across many wrap-arounds.
TEST(SpscRingTest, TwoThreadsPassEveryItemOnceInOrder) {
  constexpr std::uint64_t kItems = 2'000'000;
  SpscRing<std::uint64_t> ring(1024);
  std::thread generator([&] {
    std::mt19937 rng(1);
    std::vector<std::uint64_t> chunk;
    std::uint64_t next = 0;
    while (next < kItems) {
      chunk.resize(std::min<std::uint64_t>(rng() % 700 + 1, kItems - next));
      for (auto& v : chunk) v = next++;
      std::span<const std::uint64_t> left(chunk);
      while (!left.empty()) {
        left = left.subspan(ring.write(left));
        if (!left.empty()) std::this_thread::yield();
      }
    }
  });
  std::mt19937 rng(2);
  std::vector<std::uint64_t> chunk(700);
  std::uint64_t expected = 0;
  std::uint64_t mismatches = 0;
  while (expected < kItems) {
    const std::size_t got = ring.read(std::span(chunk).first(rng() % 700 + 1));
    for (std::size_t i = 0; i < got; ++i) mismatches += chunk[i] != expected++;
    if (got == 0) std::this_thread::yield();
  }
  generator.join();
  EXPECT_EQ(mismatches, 0u);
  EXPECT_EQ(ring.readable(), 0u);
}

TEST(SpscRingTest, AFullRingsProducerSleepsUntilTheConsumerReadsOrAWakeUp) {
  SpscRing<int> ring(4);
  const int four[] = {1, 2, 3, 4};
  ASSERT_EQ(ring.write(four), 4u);
  for (const bool byRead : {true, false}) {
    std::atomic<bool> woke{false};
    ring.handProducerOver();  // to the thread that waits, and back after it
    std::thread producer([&] {
      ring.waitForSpace();
      woke = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(woke) << "a full ring let its producer through";
    int one = 0;
    if (byRead) {
      EXPECT_EQ(ring.read(std::span(&one, 1)), 1u);
    } else {
      ring.wakeProducer();  // a stop: the ring is still full
    }
    producer.join();
    EXPECT_TRUE(woke);
    ring.handProducerOver();
    ring.write(std::span(&one, 1));
  }
}

TEST(MixerPolicyTest, SilentVoicesKeepTheirAudioForAGraceTimeThenOnlyTheNewest) {
  EXPECT_EQ(silentFramesToDrop(1000, 10, 100, 50), 0u);  // within the grace time
  EXPECT_EQ(silentFramesToDrop(1000, 100, 100, 50), 950u);
  EXPECT_EQ(silentFramesToDrop(40, 500, 100, 50), 0u);  // already short
  EXPECT_EQ(silentFramesToDrop(50, 500, 100, 50), 0u);
}

std::vector<StereoFrame> constantFrames(std::size_t n, float value) {
  return std::vector<StereoFrame>(n, StereoFrame{value, -value});
}

TEST(MixerTest, SumsAudibleVoicesAndClampsTheResult) {
  Mixer mixer;
  Voice a(1024), b(1024);
  for (Voice* v : {&a, &b}) {
    v->family = Family::General;
    v->wantGeneral = true;
    ASSERT_TRUE(mixer.attach(v));
  }
  a.ring.write(constantFrames(100, 0.25f));
  b.ring.write(constantFrames(50, 0.9f));
  std::vector<float> out(2 * 100);
  mixer.render(out.data(), 100);
  EXPECT_FLOAT_EQ(out[0], 1.0f);  // 0.25 + 0.9 clamped
  EXPECT_FLOAT_EQ(out[1], -1.0f);
  EXPECT_FLOAT_EQ(out[2 * 60], 0.25f);  // b ran dry after 50 frames
  EXPECT_FLOAT_EQ(out[2 * 60 + 1], -0.25f);
  mixer.detach(&a);
  mixer.detach(&b);
}

TEST(MixerTest, AVoiceSoundsOnlyWhenItsFamilyIsWanted) {
  Mixer mixer;
  Voice v(4096);
  ASSERT_TRUE(mixer.attach(&v));
  std::vector<float> out(2 * 64);
  const auto loud = [&] {
    v.ring.write(constantFrames(64, 0.5f));
    mixer.render(out.data(), 64);
    return out[0] != 0.0f;
  };
  EXPECT_FALSE(loud());  // undecided
  v.wantGeneral = true;
  v.family = Family::Aac;
  EXPECT_FALSE(loud());  // the AAC call's stream, wanted by the general call
  v.wantAac = true;
  EXPECT_TRUE(loud());
  v.wantAac = false;
  EXPECT_FALSE(loud());
  mixer.detach(&v);
}

// What the output starts early from: how much of a render carried audio, whether enough audio
// waits for a voice that may sound, and the wake a decoder gives when audio begins.
TEST(MixerTest, ReportsTheAudioRenderedAndWaitingAndPassesWakesToTheOutput) {
  Mixer mixer;
  Voice v(4096);
  ASSERT_TRUE(mixer.attach(&v));
  EXPECT_EQ(v.mixer.load(), &mixer);
  std::vector<float> out(2 * 100);
  v.ring.write(constantFrames(60, 0.5f));
  EXPECT_FALSE(mixer.audioWaiting(1)) << "undecided: it may not sound";
  v.family = Family::General;
  v.wantGeneral = true;
  EXPECT_TRUE(mixer.audioWaiting(60));
  EXPECT_FALSE(mixer.audioWaiting(61));
  EXPECT_EQ(mixer.render(out.data(), 100), 60u);
  EXPECT_EQ(mixer.render(out.data(), 100), 0u);

  int wakes = 0;
  mixer.wake();  // no output yet
  mixer.setWaker([&] { ++wakes; });
  mixer.wake();
  mixer.setWaker(nullptr);
  mixer.wake();
  EXPECT_EQ(wakes, 1);
  mixer.detach(&v);
  EXPECT_EQ(v.mixer.load(), nullptr);
}

TEST(TimelineTest, OnlyWhatStartedInTheCurrentRecordingMarksAndOnlyTheFirstTime) {
  namespace timeline = log::timeline;
  timeline::arm();
  const std::uint32_t first = timeline::recording();
  timeline::mark(timeline::Stage::Head, first);
  const auto head = timeline::at(timeline::Stage::Head);
  ASSERT_TRUE(head.has_value());
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  timeline::mark(timeline::Stage::Head, first);
  EXPECT_EQ(timeline::at(timeline::Stage::Head), head) << "the first time stays";

  timeline::arm();
  EXPECT_NE(timeline::recording(), first);
  timeline::mark(timeline::Stage::Queued, first);  // from what started before this recording
  timeline::mark(timeline::Stage::Decoded, 0);     // from what started unrecorded
  EXPECT_FALSE(timeline::at(timeline::Stage::Head).has_value()) << "arming forgets";
  EXPECT_FALSE(timeline::at(timeline::Stage::Queued).has_value());
  EXPECT_FALSE(timeline::at(timeline::Stage::Decoded).has_value());
  const std::uint32_t second = timeline::recording();
  timeline::disarm();
  EXPECT_EQ(timeline::recording(), 0u);
  timeline::mark(timeline::Stage::Probed, second);
  EXPECT_FALSE(timeline::at(timeline::Stage::Probed).has_value());
  EXPECT_EQ(timeline::name(timeline::Stage::FirstByte), "first byte");
}

TEST(MixerTest, SilentVoicesAreTrimmedToTheNewestAudioAfterTheGraceTime) {
  Mixer mixer;
  Voice v(1 << 16);
  v.family = Family::General;
  ASSERT_TRUE(mixer.attach(&v));
  v.ring.write(constantFrames(Mixer::kKeepFrames + 10000, 0.1f));
  std::vector<float> out(2 * 1024);
  mixer.render(out.data(), 1024);  // silent, within the grace time: nothing dropped
  EXPECT_EQ(v.ring.readable(), Mixer::kKeepFrames + 10000);
  for (std::size_t silent = 0; silent < Mixer::kGraceFrames; silent += 1024)
    mixer.render(out.data(), 1024);
  EXPECT_EQ(v.ring.readable(), Mixer::kKeepFrames);
  mixer.detach(&v);
}

TEST(MixerTest, ATrimRequestDropsOldAudioAtOnce) {
  Mixer mixer;
  Voice v(1 << 16);
  v.family = Family::General;
  ASSERT_TRUE(mixer.attach(&v));
  std::vector<float> out(2 * 16);
  mixer.render(out.data(), 16);
  v.ring.write(constantFrames(Mixer::kKeepFrames + 10000, 0.1f));
  v.trimRequests.fetch_add(1);
  v.wantGeneral = true;
  mixer.render(out.data(), 16);
  EXPECT_EQ(v.ring.readable(), Mixer::kKeepFrames - 16);
  mixer.detach(&v);
}

// detach() must not return while a render() that may still see the voice runs (TSan checks the
// rest: the voice is destroyed right after detach).
TEST(MixerTest, DetachWaitsOutARunningRender) {
  Mixer mixer;
  std::atomic<bool> done{false};
  std::thread audio([&] {
    std::vector<float> out(2 * 256);
    while (!done) mixer.render(out.data(), 256);
  });
  for (int i = 0; i < 2000; ++i) {
    auto voice = std::make_unique<Voice>(512);
    voice->family = Family::General;
    voice->wantGeneral = true;
    ASSERT_TRUE(mixer.attach(voice.get()));
    voice->ring.write(constantFrames(300, 0.1f));
    mixer.detach(voice.get());
  }
  done = true;
  audio.join();
}

TEST(MixerTest, AttachFailsWhenEverySlotIsTaken) {
  Mixer mixer;
  std::vector<std::unique_ptr<Voice>> voices;
  for (std::size_t i = 0; i < Mixer::kMaxVoices; ++i) {
    voices.push_back(std::make_unique<Voice>(16));
    ASSERT_TRUE(mixer.attach(voices.back().get()));
  }
  Voice extra(16);
  EXPECT_FALSE(mixer.attach(&extra));
  mixer.detach(voices.front().get());
  EXPECT_TRUE(mixer.attach(&extra));
}

}  // namespace
}  // namespace radiolist::audio

namespace radiolist {
// Failures show the title's parts, not its bytes.
void PrintTo(const SongTitle& t, std::ostream* out) {
  *out << "{artist \"" << t.artist << "\", title \"" << t.title << "\", text \"" << t.text << "\"}";
}
}  // namespace radiolist

namespace radiolist::audio {
namespace {

// The title of an ICY block: StreamTitle's value up to "';" (a ';' or a quote inside is the
// title's), as UTF-8 on one line, capped, parted at its first " - ".
TEST(IcyTitle, ParsesTheValueOnceForEveryoneButTheWindowsLabel) {
  using namespace std::string_literals;
  const std::string zhe = "\xd0\x96";  // Ж
  std::string zhes;
  for (int i = 0; i < 600; ++i) zhes += zhe;
  const struct {
    std::string block;
    std::optional<SongTitle> title;
  } cases[] = {
      {"StreamTitle='Rock;Roll';StreamUrl='x';", SongTitle{"", "Rock;Roll", "Rock;Roll"}},
      {"StreamTitle='AC/DC - Back in Black';",
       SongTitle{"AC/DC", "Back in Black", "AC/DC - Back in Black"}},
      {"StreamTitle='A - B - C';", SongTitle{"A", "B - C", "A - B - C"}},
      {"StreamUrl='u';StreamTitle='It's';", SongTitle{"", "It's", "It's"}},
      {"StreamTitle='Cut short", SongTitle{"", "Cut short", "Cut short"}},
      {"StreamTitle='Padded';\0\0\0"s, SongTitle{"", "Padded", "Padded"}},
      {"StreamTitle='Padded\0\0\0"s, SongTitle{"", "Padded", "Padded"}},
      {"StreamTitle='';", SongTitle{}},
      {"StreamUrl='http://x/';", std::nullopt},
      {"", std::nullopt},
      {"streamtitle='x';", std::nullopt},
      // Windows-1251 from a legacy encoder, guessed as for the tags.
      {"StreamTitle='\xCA\xE8\xED\xEE - \xC3\xF0\xF3\xEF\xEF\xE0';",
       SongTitle{"Кино", "Группа", "Кино - Группа"}},
      {"StreamTitle='A\tB\x01"
       "C\x7f - D';",
       SongTitle{"A B C ", "D", "A B C  - D"}},
      {"StreamTitle='" + std::string(2000, 'x') + "';",
       SongTitle{"", std::string(1024, 'x'), std::string(1024, 'x')}},
      {"StreamTitle='a" + zhes + "';",
       SongTitle{"", "a" + zhes.substr(0, 1022), "a" + zhes.substr(0, 1022)}},
  };
  for (const auto& c : cases) EXPECT_EQ(icyTitle(c.block), c.title) << c.block;
}

// A thread's name as the system's tools see it: set from inside the thread, cut to what the
// kernel keeps, never spilling into another thread.
TEST(ThreadName, TheSystemShowsTheNameGivenCutToFifteenBytes) {
  const std::string before = log::thisThreadName();
  const std::vector<std::pair<std::string, std::string>> cases{
      {"rl-net", "rl-net"},
      {"rl-fifteen-char", "rl-fifteen-char"},
      {"rl-a-name-far-too-long", "rl-a-name-far-t"},
      {"", ""},
  };
  for (const auto& [given, shown] : cases) {
    SCOPED_TRACE(given);
    std::string seen;
    std::string comm;
    std::thread([&] {
      log::nameThisThread(given.c_str());
      seen = log::thisThreadName();
      const auto tid = static_cast<long>(::syscall(SYS_gettid));
      std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/comm");
      std::getline(file, comm);
    }).join();
    EXPECT_EQ(seen, shown);
    EXPECT_EQ(comm, shown);
  }
  EXPECT_EQ(log::thisThreadName(), before) << "only the calling thread is named";
}

}  // namespace
}  // namespace radiolist::audio
