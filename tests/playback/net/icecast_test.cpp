// HttpStream against the real Icecast2 on loopback (the "servers" fixture): its HTTP/1.0 head,
// its icy-metaint of 16000 and its titles, and audio that comes out with no metadata byte left
// in it (every MP3 or ADTS frame header is followed by the next exactly one frame later).

#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "playback/net/http_stream.h"
#include "support/test_servers.h"

namespace radiolist::net {
namespace {

using namespace std::chrono_literals;
using IcecastStream = radiolist::test::ServerTest;

std::vector<std::uint8_t> readAudio(HttpStream& s, std::size_t count) {
  std::vector<std::uint8_t> out(count);
  std::size_t have = 0;
  while (have < count) {
    const std::size_t n = s.read(std::as_writable_bytes(std::span(out).subspan(have)), 5s);
    if (n == 0) break;
    have += n;
  }
  out.resize(have);
  return out;
}

// Length of the MPEG-1 Layer III frame whose header starts at p, or nullopt.
std::optional<std::size_t> mp3FrameLength(const std::uint8_t* p) {
  static constexpr int kKbps[16] = {0,   32,  40,  48,  56,  64,  80,  96,
                                    112, 128, 160, 192, 224, 256, 320, 0};
  static constexpr int kRate[4] = {44100, 48000, 32000, 0};
  if (p[0] != 0xff || (p[1] & 0xfe) != 0xfa) return std::nullopt;  // sync, MPEG-1, Layer III
  const int kbps = kKbps[p[2] >> 4];
  const int rate = kRate[(p[2] >> 2) & 3];
  if (kbps == 0 || rate == 0) return std::nullopt;
  return static_cast<std::size_t>(144 * kbps * 1000 / rate + ((p[2] >> 1) & 1));
}

// Length of the ADTS frame whose header starts at p, or nullopt.
std::optional<std::size_t> adtsFrameLength(const std::uint8_t* p) {
  if (p[0] != 0xff || (p[1] & 0xf6) != 0xf0) return std::nullopt;
  const std::size_t length = (std::size_t{p[3]} & 3) << 11 | std::size_t{p[4]} << 3 | p[5] >> 5;
  return length >= 7 ? std::optional(length) : std::nullopt;
}

// Finds the first frame and follows the chain; fails at the first frame that is not where the
// previous one said it would be.
template <class FrameLength>
::testing::AssertionResult framesChain(const std::vector<std::uint8_t>& audio,
                                       FrameLength frameLength) {
  std::size_t pos = 0;
  while (pos + 8 <= audio.size() &&
         !(frameLength(&audio[pos]) && pos + *frameLength(&audio[pos]) + 8 <= audio.size() &&
           frameLength(&audio[pos + *frameLength(&audio[pos])])))
    ++pos;
  if (pos > 4096) return ::testing::AssertionFailure() << "no frame in the first 4 KiB";
  std::size_t frames = 0;
  while (pos + 8 <= audio.size()) {
    const auto length = frameLength(&audio[pos]);
    if (!length)
      return ::testing::AssertionFailure()
             << "chain broken at byte " << pos << " after " << frames << " frames";
    pos += *length;
    ++frames;
  }
  return ::testing::AssertionSuccess() << frames << " frames";
}

TEST_F(IcecastStream, Mp3MountGivesHeadTitleAndCleanFrames) {
  const std::string mount = servers().value("MOUNT_TONE440_MP3");
  const std::string title = "Net Test - " + std::to_string(::getpid());
  ASSERT_EQ(servers().setIcecastTitle(mount, title), "");

  StreamOptions options;
  options.url = servers().mp3Url();
  auto s = HttpStream::start(options);
  // 400 KiB: Icecast's 64 KiB burst and then about 20 s of live audio, crossing 25 blocks.
  const auto audio = readAudio(*s, 400 * 1024);
  ASSERT_EQ(audio.size(), 400u * 1024) << "state " << static_cast<int>(s->state());
  EXPECT_TRUE(framesChain(audio, mp3FrameLength));

  const auto head = s->head();
  ASSERT_TRUE(head);
  EXPECT_EQ(head->lines.front(), "HTTP/1.0 200 OK");
  EXPECT_FALSE(head->icy);
  EXPECT_EQ(head->metaint, 16000);
  EXPECT_EQ(head->contentType, "audio/mpeg");
  EXPECT_NE(std::find(head->lines.begin(), head->lines.end(), "icy-name:Test Radio 440"),
            head->lines.end())
      << ::testing::PrintToString(head->lines);
  EXPECT_EQ(s->latestMeta(), "StreamTitle='" + title + "';");
  EXPECT_EQ(servers().setIcecastTitle(mount, "Test Artist - Tone 440"), "");
}

TEST_F(IcecastStream, AacMountGivesCleanAdtsFrames) {
  StreamOptions options;
  options.url = servers().aacUrl();
  auto s = HttpStream::start(options);
  const auto audio = readAudio(*s, 200 * 1024);
  ASSERT_EQ(audio.size(), 200u * 1024);
  EXPECT_TRUE(framesChain(audio, adtsFrameLength));
  ASSERT_TRUE(s->head());
  EXPECT_EQ(s->head()->metaint, 16000);
  ASSERT_TRUE(s->latestMeta());
  EXPECT_TRUE(s->latestMeta()->starts_with("StreamTitle='")) << *s->latestMeta();
}

}  // namespace
}  // namespace radiolist::net
