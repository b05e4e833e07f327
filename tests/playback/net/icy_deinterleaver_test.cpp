#include "playback/net/icy_deinterleaver.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace radiolist::net {
namespace {

std::vector<std::byte> bytesOf(std::string_view s) {
  const auto* p = reinterpret_cast<const std::byte*>(s.data());
  return {p, p + s.size()};
}

// A metadata block as a server sends it: length byte, text, NUL padding to a multiple of 16.
std::string block(std::string_view text) {
  const std::size_t units = (text.size() + 15) / 16;
  std::string out(1, static_cast<char>(units));
  out += text;
  out.append(units * 16 - text.size(), '\0');
  return out;
}

struct Interleaved {
  std::vector<std::byte> body;
  std::vector<std::byte> audio;
};

// Reference interleaving: `audioBytes` bytes of a counting pattern, with blocks[k] (raw, length
// byte included) after the (k+1)-th run of metaint audio bytes; blocks run out -> empty blocks.
Interleaved interleave(std::size_t audioBytes, std::size_t metaint,
                       const std::vector<std::string>& blocks) {
  Interleaved r;
  std::size_t k = 0;
  for (std::size_t i = 0; i < audioBytes; ++i) {
    const auto b = static_cast<std::byte>((i * 7 + i / 256) & 0xff);
    r.audio.push_back(b);
    r.body.push_back(b);
    if ((i + 1) % metaint == 0) {
      const std::string raw = k < blocks.size() ? blocks[k] : std::string(1, '\0');
      const auto rawBytes = bytesOf(raw);
      r.body.insert(r.body.end(), rawBytes.begin(), rawBytes.end());
      ++k;
    }
  }
  return r;
}

// Feeds `body` in chunks whose sizes come from `nextSize` and returns the audio.
template <class NextSize>
std::vector<std::byte> feedChunked(IcyDeinterleaver& d, std::span<const std::byte> body,
                                   NextSize nextSize) {
  std::vector<std::byte> audio;
  while (!body.empty()) {
    const std::size_t n = std::min(body.size(), nextSize());
    d.feed(body.first(n), audio);
    body = body.subspan(n);
  }
  return audio;
}

TEST(IcyDeinterleaver, SplitsTheSameWayWhateverTheChunking) {
  const std::vector<std::string> blocks = {
      block("StreamTitle='One';"), std::string(1, '\0'),
      block("StreamTitle='Two - Second title, longer';StreamUrl='';")};
  const auto ref = interleave(5000, 1000, blocks);

  {
    IcyDeinterleaver d(1000);
    EXPECT_EQ(feedChunked(d, ref.body, [] { return std::size_t{1}; }), ref.audio)
        << "one byte at a time";
    EXPECT_EQ(d.latestMeta(), "StreamTitle='Two - Second title, longer';StreamUrl='';");
    EXPECT_EQ(d.metaGeneration(), 2u);
  }
  for (unsigned seed = 1; seed <= 200; ++seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<std::size_t> size(1, seed % 2 ? 40 : 3000);
    IcyDeinterleaver d(1000);
    ASSERT_EQ(feedChunked(d, ref.body, [&] { return size(rng); }), ref.audio) << "seed " << seed;
    EXPECT_EQ(d.latestMeta(), "StreamTitle='Two - Second title, longer';StreamUrl='';");
    EXPECT_FALSE(d.insideMetadata());
  }
}

TEST(IcyDeinterleaver, NextYieldsAudioAsViewsOfTheInput) {
  const auto ref = interleave(10, 4, {block("StreamTitle='x';")});
  IcyDeinterleaver d(4);
  std::span<const std::byte> rest(ref.body);
  const auto first = d.next(rest);
  EXPECT_EQ(first.consumed, 4u);
  EXPECT_EQ(first.audio.data(), ref.body.data());
  EXPECT_EQ(first.audio.size(), 4u);
  const auto lengthByte = d.next(rest.subspan(4));
  EXPECT_EQ(lengthByte.consumed, 1u);
  EXPECT_TRUE(lengthByte.audio.empty());
  EXPECT_TRUE(d.insideMetadata());
  EXPECT_EQ(d.next({}).consumed, 0u);
}

TEST(IcyDeinterleaver, WithoutMetaintEverythingIsAudio) {
  const auto body = bytesOf(std::string("\x01StreamTitle='no';\0\0", 21));
  IcyDeinterleaver d(0);
  std::vector<std::byte> audio;
  d.feed(body, audio);
  EXPECT_EQ(audio, body);
  EXPECT_FALSE(d.latestMeta());
}

TEST(IcyDeinterleaver, EmptyAndNulOnlyBlocksKeepThePreviousTitle) {
  const std::vector<std::string> blocks = {block("StreamTitle='Kept';"), std::string(1, '\0'),
                                           std::string("\x01") + std::string(16, '\0'),
                                           std::string("\x02") + std::string(32, '\0')};
  const auto ref = interleave(400, 100, blocks);
  IcyDeinterleaver d(100);
  std::vector<std::byte> audio;
  d.feed(ref.body, audio);
  EXPECT_EQ(audio, ref.audio);
  EXPECT_EQ(d.latestMeta(), "StreamTitle='Kept';");
  EXPECT_EQ(d.metaGeneration(), 1u);
}

TEST(IcyDeinterleaver, BlockTextEndsAtItsFirstNul) {
  std::string raw("\x02StreamTitle='A';\0garbage after", 31);
  raw.resize(33, 'z');
  const auto ref = interleave(20, 10, {raw});
  IcyDeinterleaver d(10);
  std::vector<std::byte> audio;
  d.feed(ref.body, audio);
  EXPECT_EQ(audio, ref.audio);
  EXPECT_EQ(d.latestMeta(), "StreamTitle='A';");
}

TEST(IcyDeinterleaver, BlocksWithControlBytesAreAudioReadAsMetadataAndNotKept) {
  const std::vector<std::string> blocks = {block("StreamTitle='Good';"),
                                           block("StreamTitle='\x01\x02"
                                                 "bad';"),
                                           block("\x7f"), block("StreamTitle='Tab\tok';")};
  const auto ref = interleave(40, 10, blocks);
  IcyDeinterleaver d(10);
  std::vector<std::byte> audio;
  d.feed(ref.body, audio);
  EXPECT_EQ(audio, ref.audio);
  EXPECT_EQ(d.latestMeta(), "StreamTitle='Tab ok';") << "a tab is text, shown as a space";
  EXPECT_EQ(d.metaGeneration(), 2u);
  IcyDeinterleaver upToBad(10);
  upToBad.feed(interleave(30, 10, blocks).body, audio);
  EXPECT_EQ(upToBad.latestMeta(), "StreamTitle='Good';");
}

TEST(IcyDeinterleaver, FullLengthBlockWithoutNulIsKeptWhole) {
  const std::string text(255 * 16, 'q');
  const auto ref = interleave(20, 10, {std::string("\xff") + text});
  IcyDeinterleaver d(10);
  std::vector<std::byte> audio;
  d.feed(ref.body, audio);
  EXPECT_EQ(audio, ref.audio);
  EXPECT_EQ(d.latestMeta(), text);
}

TEST(IcyDeinterleaver, BodyEndingInsideABlockPublishesNothingFromIt) {
  auto ref =
      interleave(20, 10, {block("StreamTitle='First';"), block("StreamTitle='Cut off here';")});
  ref.body.resize(ref.body.size() - 9);  // server closed in the middle of the second block
  IcyDeinterleaver d(10);
  std::vector<std::byte> audio;
  d.feed(ref.body, audio);
  EXPECT_EQ(audio, ref.audio);
  EXPECT_EQ(d.latestMeta(), "StreamTitle='First';");
  EXPECT_TRUE(d.insideMetadata());
}

TEST(IcyDeinterleaver, LengthByteRunningPastTheDataSwallowsExactlyOneBlock) {
  // The length byte promises 4080 bytes; the server sends a short text and carries on with
  // (silent, zero) audio. The de-interleaver cannot know: it takes 4080 bytes as metadata, then
  // counts metaint audio bytes again from there, reading each following zero as "no block".
  std::vector<std::byte> body(10, std::byte{1});
  const auto lying = bytesOf("\xffStreamTitle='Liar';");
  body.insert(body.end(), lying.begin(), lying.end());
  body.resize(body.size() + 5000, std::byte{0});
  IcyDeinterleaver d(10);
  std::vector<std::byte> audio;
  d.feed(body, audio);
  EXPECT_EQ(d.latestMeta(), "StreamTitle='Liar';");
  const std::size_t after = body.size() - 11 - IcyDeinterleaver::kMaxBlockBytes;  // 939
  EXPECT_EQ(audio.size(), 10 + after / 11 * 10 + after % 11);
}

// Only the title is capped (as every title the library hands out); the fields around it stay.
TEST(IcyDeinterleaver, TheTitleInABlockIsCappedToOneLineOfAKilobyte) {
  const std::string cut(1023, 'x');  // and the first byte of a two-byte sequence goes too
  const struct {
    std::string block;
    std::string handedOut;
  } cases[] = {
      {"StreamTitle='A\tB';StreamUrl='u';", "StreamTitle='A B';StreamUrl='u';"},
      {"StreamTitle='" + cut + "\xc3\xa9zz';StreamUrl='u';",
       "StreamTitle='" + cut + "';StreamUrl='u';"},
      {"StreamTitle='" + std::string(3000, 'y'), "StreamTitle='" + std::string(1024, 'y')},
      {"StreamUrl='" + std::string(3000, 'z') + "';",
       "StreamUrl='" + std::string(3000, 'z') + "';"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(withTitleCapped(c.block), c.handedOut);
    IcyDeinterleaver icy(4);
    std::vector<std::byte> audio;
    icy.feed(bytesOf("abcd" + block(c.block)), audio);
    EXPECT_EQ(icy.latestMeta(), c.handedOut);
  }
}

TEST(IcyDeinterleaver, MetaintOfOneAlternatesAudioAndLengthBytes) {
  const auto ref = interleave(50, 1, {block("StreamTitle='1';")});
  IcyDeinterleaver d(1);
  EXPECT_EQ(feedChunked(d, ref.body, [] { return std::size_t{3}; }), ref.audio);
  EXPECT_EQ(d.latestMeta(), "StreamTitle='1';");
}

}  // namespace
}  // namespace radiolist::net
