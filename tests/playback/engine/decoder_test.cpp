// The decoder against fake streams that serve files made by ffmpeg at build time.
#include "playback/engine/decoder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>

#include "fake_stream.h"
#include "support/signal_analysis.h"

namespace radiolist::audio {
namespace {

using namespace std::chrono_literals;
using test::FakeStream;

// The left channel of everything in the ring.
std::vector<float> drainLeft(Voice& voice) {
  std::vector<StereoFrame> frames(voice.ring.readable());
  voice.ring.read(frames);
  std::vector<float> left(frames.size());
  for (std::size_t i = 0; i < frames.size(); ++i) left[i] = frames[i].left;
  return left;
}

std::span<const float> middle(const std::vector<float>& s, std::size_t frames) {
  if (s.size() < frames) return s;
  return std::span(s).subspan((s.size() - frames) / 2, frames);
}

struct MediaCase {
  const char* file;
  const char* contentType;
  Family family;
  const char* container;
  double tone;
};

class DecodeMediaTest : public ::testing::TestWithParam<MediaCase> {};

TEST_P(DecodeMediaTest, ProbesTheFamilyAndDecodesTheToneAt44100Stereo) {
  const MediaCase& c = GetParam();
  FakeStream stream(FakeStream::served(test::readFile(test::mediaPath(c.file)), c.contentType));
  Voice voice(1 << 18);
  const DecodeSummary summary = decodeStream(stream, voice, {});
  EXPECT_EQ(summary.family, c.family);
  EXPECT_EQ(voice.family.load(), c.family);
  EXPECT_EQ(summary.container, c.container);
  const std::vector<float> left = drainLeft(voice);
  // Every file holds 3 s of tone: about 132300 frames whatever its own rate.
  EXPECT_NEAR(static_cast<double>(left.size()), 3.0 * kOutputRate, 0.1 * kOutputRate);
  EXPECT_GT(radiolist::test::toneShare(middle(left, 8820), c.tone, kOutputRate), 0.8);
  EXPECT_GT(radiolist::test::rms(middle(left, 8820)), 0.05);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, DecodeMediaTest,
    ::testing::Values(
        MediaCase{"tone440.mp3", "audio/mpeg", Family::General, "mp3", 440},
        MediaCase{"tone880.aac", "audio/aac", Family::Aac, "aac", 880},
        MediaCase{"tone550.ogg", "application/ogg", Family::General, "ogg", 550},
        MediaCase{"tone660.m4a", "audio/mp4", Family::Aac, "mov,mp4,m4a,3gp,3g2,mj2", 660},
        // A mono 48 kHz stream must come out resampled, still at 330 Hz.
        MediaCase{"tone330_48k_mono.mp3", "audio/mpeg", Family::General, "mp3", 330},
        // Stations that mislabel their streams: the data decides.
        MediaCase{"tone880.aac", "audio/mpeg", Family::Aac, "aac", 880},
        MediaCase{"tone440.mp3", "application/octet-stream", Family::General, "mp3", 440}),
    [](const ::testing::TestParamInfo<MediaCase>& param) {
      return "Case" + std::to_string(param.index);
    });

TEST(DecoderTest, StartsInTheMiddleOfAFrame) {
  auto body = test::readFile(test::mediaPath("tone440.mp3"));
  body.erase(body.begin(), body.begin() + 1001);
  FakeStream stream(FakeStream::served(body));
  Voice voice(1 << 18);
  EXPECT_EQ(decodeStream(stream, voice, {}).family, Family::General);
  const auto left = drainLeft(voice);
  EXPECT_GT(left.size(), 2 * kOutputRate);
  EXPECT_GT(radiolist::test::toneShare(middle(left, 8820), 440, kOutputRate), 0.8);
}

TEST(DecoderTest, FindsItsWayBackAfterGarbageInTheMiddle) {
  for (const char* file : {"tone440.mp3", "tone880.aac"}) {
    SCOPED_TRACE(file);
    auto body = test::readFile(test::mediaPath(file));
    std::mt19937 rng(7);
    std::vector<std::byte> garbage(20000);
    for (auto& b : garbage) b = static_cast<std::byte>(rng());
    body.insert(body.begin() + static_cast<std::ptrdiff_t>(body.size() / 3), garbage.begin(),
                garbage.end());
    FakeStream stream(FakeStream::served(body));
    Voice voice(1 << 18);
    const DecodeSummary summary = decodeStream(stream, voice, {});
    const auto left = drainLeft(voice);
    // Nearly all of the 3 s survive, and the last second is the clean tone again.
    EXPECT_GT(left.size(), 2.5 * kOutputRate);
    const double tone = std::string_view(file).find("440") != std::string_view::npos ? 440 : 880;
    ASSERT_GT(left.size(), kOutputRate);
    EXPECT_GT(radiolist::test::toneShare(std::span(left).last(kOutputRate / 2), tone, kOutputRate),
              0.8);
    EXPECT_NE(summary.family, Family::Unplayable);
  }
}

TEST(DecoderTest, GarbageAloneIsUnplayable) {
  std::vector<std::byte> body(100000);
  std::mt19937 rng(3);
  for (auto& b : body) b = static_cast<std::byte>(rng() & 0x7F);  // no MPEG sync bytes
  FakeStream stream(FakeStream::served(body, "text/html"));
  Voice voice(1024);
  EXPECT_EQ(decodeStream(stream, voice, {}).family, Family::Unplayable);
  EXPECT_EQ(voice.family.load(), Family::Unplayable);
  EXPECT_EQ(voice.ring.readable(), 0u);
}

TEST(DecoderTest, AnEmptyStreamIsUnplayable) {
  FakeStream stream(FakeStream::served({}));
  Voice voice(1024);
  EXPECT_EQ(decodeStream(stream, voice, {}).family, Family::Unplayable);
}

// A station that goes on with frames too short to hold audio (an ADTS header and one byte) must
// be read no faster than it would play, as audio is: not as fast as the network brings it.
TEST(DecoderTest, PacketsThatDecodeToNothingAreReadAtTheirOwnPace) {
  auto body = test::readFile(test::mediaPath("tone880.aac"));
  const std::size_t audioBytes = body.size();
  // 8-byte ADTS frames of AAC-LC, 44.1 kHz, stereo: 23 ms each, 200 s in all.
  const std::byte junk[8] = {std::byte{0xFF}, std::byte{0xF1}, std::byte{0x50}, std::byte{0x80},
                             std::byte{0x01}, std::byte{0x1F}, std::byte{0xFC}, std::byte{0x00}};
  for (int i = 0; i < 200 * 44100 / 1024; ++i) body.insert(body.end(), junk, junk + 8);
  FakeStream stream(FakeStream::served(body, "audio/aac"));
  Voice voice(1 << 18);  // the 3 s of audio fit: only the junk could hold the decoder back
  std::stop_source stop;
  std::thread decoder([&] { decodeStream(stream, voice, stop.get_token()); });
  std::this_thread::sleep_for(2s);
  const std::size_t junkRead = stream.served() - std::min(stream.served(), audioBytes);
  stop.request_stop();
  decoder.join();
  // At the pace of play, 2 s (and the grace before the pace starts) are some 1,000 bytes, plus
  // what the demuxer reads ahead: far from the 69,000 that spinning through it would take.
  EXPECT_LT(junkRead, 40000u);
  EXPECT_GT(voice.ring.readable(), 2 * kOutputRate) << "the audio before the junk still plays";
}

// A live stream never ends by itself: a stop request must end decoding promptly, also while the
// decoder waits for a full ring or for the network.
TEST(DecoderTest, AStopRequestEndsDecodingPromptly) {
  for (std::size_t ringFrames : {std::size_t{1024}, std::size_t{1} << 20}) {
    auto options = FakeStream::served(test::readFile(test::mediaPath("tone440.mp3")));
    options.bytesPerSecond = 16000;
    options.burstBytes = 32000;
    options.loop = true;
    FakeStream stream(std::move(options));
    Voice voice(ringFrames);
    std::stop_source stop;
    std::thread decoder([&] { decodeStream(stream, voice, stop.get_token()); });
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(voice.family.load(), Family::General);
    const auto asked = std::chrono::steady_clock::now();
    stop.request_stop();
    decoder.join();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 2s);  // no hang, not a speed target
  }
}

}  // namespace
}  // namespace radiolist::audio
