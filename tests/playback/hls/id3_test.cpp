// ID3 titles: tags that ffmpeg wrote (v2.3 and v2.4, Latin-1, UTF-16 and UTF-8 text, other
// frames around the titles) and crafted tags for what writers rarely do but the format allows.

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include "playback/hls/id3.h"

namespace radiolist::hls {
namespace {

using Bytes = std::vector<std::byte>;

Bytes bytes(std::initializer_list<int> values) {
  Bytes out;
  for (int v : values) out.push_back(static_cast<std::byte>(v));
  return out;
}

Bytes text(std::string_view s) {
  Bytes out;
  for (char c : s) out.push_back(static_cast<std::byte>(c));
  return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes synchsafe(std::size_t n) {
  return bytes({static_cast<int>((n >> 21) & 0x7f), static_cast<int>((n >> 14) & 0x7f),
                static_cast<int>((n >> 7) & 0x7f), static_cast<int>(n & 0x7f)});
}

Bytes bigEndian32(std::size_t n) {
  return bytes({static_cast<int>((n >> 24) & 0xff), static_cast<int>((n >> 16) & 0xff),
                static_cast<int>((n >> 8) & 0xff), static_cast<int>(n & 0xff)});
}

// A v2.4 frame (synchsafe size) or a v2.3 frame (plain size).
Bytes frame4(std::string_view id, const Bytes& data, int formatFlags = 0) {
  return text(id) + synchsafe(data.size()) + bytes({0, formatFlags}) + data;
}
Bytes frame3(std::string_view id, const Bytes& data, int formatFlags = 0) {
  return text(id) + bigEndian32(data.size()) + bytes({0, formatFlags}) + data;
}

Bytes tag(int major, int flags, const Bytes& body) {
  return text("ID3") + bytes({major, 0, flags}) + synchsafe(body.size()) + body;
}

Bytes utf8Frame(std::string_view s) { return bytes({3}) + text(s); }
Bytes latin1Frame(std::string_view s) { return bytes({0}) + text(s); }

// The text of the title a tag gives (what the tests below compare), or nullopt.
std::optional<std::string> textOf(const std::optional<SongTitle>& t) {
  return t ? std::optional(t->text) : std::nullopt;
}
std::optional<std::string> title(const Bytes& b) { return textOf(songTitleFromId3(b)); }
std::optional<std::string> timed(const Bytes& b) { return textOf(titleFromTimedId3(b)); }

// ---------------------------------------------------------------------------------------------
// Tags written by ffmpeg at build time (see CMakeLists.txt)

Bytes readHead(const std::string& name) {
  std::ifstream in(std::string(RL_HLS_MEDIA_DIR) + "/" + name, std::ios::binary);
  EXPECT_TRUE(in) << name;
  Bytes all;
  for (std::istreambuf_iterator<char> it(in), end; it != end; ++it)
    all.push_back(static_cast<std::byte>(*it));
  const std::size_t size = id3TagSize(all);
  EXPECT_GT(size, 10u) << name;
  EXPECT_LE(size, all.size()) << name;
  all.resize(std::min(size, all.size()));
  return all;
}

TEST(Id3FromFfmpeg, ReadsVersion24Utf8WithOtherFramesAround) {
  EXPECT_EQ(title(readHead("v24.mp3")), "Ünïcødé Ärtist - Tïtle ☃ 𝄞");
}

TEST(Id3FromFfmpeg, ReadsVersion23Utf16WithByteOrderMark) {
  EXPECT_EQ(title(readHead("v23_utf16.mp3")), "Ünïcødé Ärtist - Tïtle ☃ 𝄞");
}

TEST(Id3FromFfmpeg, ReadsVersion23Latin1) {
  EXPECT_EQ(title(readHead("v23_latin1.mp3")), "Plain Artist - Plain Title");
}

TEST(Id3FromFfmpeg, TitleOnlyAndArtistOnly) {
  EXPECT_EQ(title(readHead("title_only.mp3")), "Just A Title");
  EXPECT_EQ(title(readHead("artist_only.mp3")), "Just An Artist");
}

TEST(Id3FromFfmpeg, NoTitleFramesGiveNothing) {
  EXPECT_EQ(title(readHead("no_title.mp3")), std::nullopt);
}

// ---------------------------------------------------------------------------------------------
// Header and size

TEST(Id3TagSize, CountsHeaderBodyAndFooter) {
  EXPECT_EQ(id3TagSize(tag(4, 0, Bytes(300))), 310u);
  EXPECT_EQ(id3TagSize(tag(3, 0, Bytes(5))), 15u);
  // A v2.4 footer adds ten bytes; the same flag means nothing in v2.3.
  EXPECT_EQ(id3TagSize(tag(4, 0x10, Bytes(5))), 25u);
  EXPECT_EQ(id3TagSize(tag(3, 0x10, Bytes(5))), 15u);
  // Only the header is needed.
  EXPECT_EQ(id3TagSize(text("ID3") + bytes({4, 0, 0, 0x7f, 0x7f, 0x7f, 0x7f})), 10u + 0xfffffff);
}

TEST(Id3TagSize, RejectsWhatIsNoTag) {
  EXPECT_EQ(id3TagSize({}), 0u);
  EXPECT_EQ(id3TagSize(text("ID3") + bytes({4, 0, 0, 0, 0, 1})), 0u);  // 9 bytes
  EXPECT_EQ(id3TagSize(text("ID2") + bytes({4, 0, 0, 0, 0, 0, 1})), 0u);
  EXPECT_EQ(id3TagSize(text("ID3") + bytes({0xff, 0, 0, 0, 0, 0, 1})), 0u);
  EXPECT_EQ(id3TagSize(text("ID3") + bytes({4, 0xff, 0, 0, 0, 0, 1})), 0u);
  EXPECT_EQ(id3TagSize(text("ID3") + bytes({4, 0, 0, 0, 0, 0x80, 1})), 0u);  // not synchsafe
  EXPECT_EQ(title(text("ID3") + bytes({4, 0, 0, 0, 0, 0x80, 1})), std::nullopt);
  // Versions we cannot read.
  EXPECT_EQ(title(tag(5, 0, frame4("TIT2", utf8Frame("x")))), std::nullopt);
  EXPECT_EQ(title(tag(1, 0, frame4("TIT2", utf8Frame("x")))), std::nullopt);
}

// ---------------------------------------------------------------------------------------------
// Text encodings

TEST(Id3Text, EveryEncodingToUtf8) {
  const Bytes utf16le = bytes({1, 0xff, 0xfe, 'A', 0, 0xe9, 0, 0x3d, 0xd8, 0x00, 0xde});  // Aé😀
  const Bytes utf16be = bytes({1, 0xfe, 0xff, 0, 'A', 0, 0xe9, 0xd8, 0x3d, 0xde, 0x00});
  const Bytes plainBe = bytes({2, 0, 'A', 0, 0xe9, 0xd8, 0x3d, 0xde, 0x00});
  const Bytes latin1 = bytes({0, 'A', 0xe9});
  for (const Bytes& t : {utf16le, utf16be, plainBe})
    EXPECT_EQ(title(tag(4, 0, frame4("TIT2", t))), "Aé😀");
  EXPECT_EQ(title(tag(3, 0, frame3("TIT2", latin1))), "Aé");
  EXPECT_EQ(title(tag(4, 0, frame4("TIT2", utf8Frame("Aé😀")))), "Aé😀");
}

TEST(Id3Text, FirstStringOfSeveralAndUpToTheTerminator) {
  EXPECT_EQ(title(tag(4, 0, frame4("TPE1", utf8Frame(std::string("One\0Two", 7))))), "One");
  EXPECT_EQ(title(tag(4, 0, frame4("TIT2", bytes({1, 0xff, 0xfe, 'H', 0, 'i', 0, 0, 0, 'X', 0})))),
            "Hi");
}

TEST(Id3Text, BrokenUtf16BecomesReplacementCharacters) {
  // A lone high surrogate, a lone low surrogate, an odd trailing byte.
  EXPECT_EQ(
      title(tag(4, 0, frame4("TIT2", bytes({1, 0xff, 0xfe, 0x3d, 0xd8, 'a', 0, 0x00, 0xde, 'b'})))),
      "\xEF\xBF\xBD"
      "a\xEF\xBF\xBD");
  // Without a byte-order mark: little-endian.
  EXPECT_EQ(title(tag(3, 0, frame3("TIT2", bytes({1, 'o', 0, 'k', 0})))), "ok");
}

// A station's 100,000-character title must not reach the window, the log or a file name whole.
TEST(Id3Text, TitlesAreCappedToOneLineOfAKilobyte) {
  const std::string huge = "\x1b[31m" + std::string(99'990, 'x') + "\xc3\xa9";
  const auto capped = songTitleFromId3(
      tag(4, 0, frame4("TPE1", utf8Frame("A\nB")) + frame4("TIT2", utf8Frame(huge))));
  ASSERT_TRUE(capped.has_value());
  EXPECT_EQ(capped->artist, "A B");
  EXPECT_EQ(capped->title.size(), 1024u);
  EXPECT_EQ(capped->text.size(), 1024u);
  EXPECT_EQ(capped->text.substr(0, 10), "A B - \x20[31");
}

// Artist and title come apart from their frames, whatever they hold.
TEST(Id3Text, ArtistAndTitleApart) {
  const struct {
    Bytes frames;
    SongTitle song;
  } cases[] = {
      {frame4("TPE1", utf8Frame("A - B")) + frame4("TIT2", utf8Frame("C")),
       {"A - B", "C", "A - B - C"}},
      {frame4("TIT2", utf8Frame("Rock;Roll")), {"", "Rock;Roll", "Rock;Roll"}},
      {frame4("TPE1", utf8Frame("Solo")), {"Solo", "", "Solo"}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(songTitleFromId3(tag(4, 0, c.frames)), c.song) << c.song.text;
}

TEST(Id3Text, UnknownEncodingAndEmptyFramesCountAsAbsent) {
  EXPECT_EQ(title(tag(4, 0, frame4("TIT2", bytes({7, 'x'})))), std::nullopt);
  EXPECT_EQ(title(tag(4, 0, frame4("TIT2", {}) + frame4("TPE1", utf8Frame("")))), std::nullopt);
  EXPECT_EQ(title(tag(4, 0, frame4("TIT2", utf8Frame("")) + frame4("TPE1", utf8Frame("A")))), "A");
}

// ---------------------------------------------------------------------------------------------
// Structure: unsynchronisation, extended headers, frame flags, padding, other frames

TEST(Id3Structure, OtherFramesAreSkippedByTheirSize) {
  const Bytes priv = frame4("PRIV", text("com.apple.streaming.transportStreamTimestamp") +
                                        bytes({0, 0, 0, 0, 0, 0, 0, 0x01, 0x5f, 0x90}));
  const Bytes txxx = frame4("TXXX", utf8Frame(std::string("TIT2\0TPE1 decoy", 15)));
  EXPECT_EQ(
      title(
          tag(4, 0, priv + txxx + frame4("TPE1", utf8Frame("A")) + frame4("TIT2", utf8Frame("T")))),
      "A - T");
}

TEST(Id3Structure, PaddingEndsTheFrames) {
  EXPECT_EQ(title(tag(3, 0,
                      frame3("TIT2", latin1Frame("T")) + Bytes(64) +
                          frame3("TPE1", latin1Frame("after padding")))),
            "T");
}

TEST(Id3Structure, WholeTagUnsynchronisationInVersion23) {
  // "\xFF\x00" in the stored body stands for "\xFF"; here in a frame size and in the text.
  const Bytes stored = text("TIT2") + bytes({0, 0, 0, 3, 0, 0}) + bytes({0, 0xff, 0x00, 'z'});
  EXPECT_EQ(title(tag(3, 0x80, stored)), "ÿz");
  // The same bytes without the flag keep the 0x00, which ends the Latin-1 string.
  EXPECT_EQ(title(tag(3, 0, stored)), "ÿ");
}

TEST(Id3Structure, PerFrameUnsynchronisationInVersion24) {
  const Bytes stored = bytes({0, 0xff, 0x00, 'z'});
  EXPECT_EQ(title(tag(4, 0, frame4("TIT2", stored, 0x02))), "ÿz");
  // The tag-wide flag of v2.4 means every frame is unsynchronised.
  EXPECT_EQ(title(tag(4, 0x80, frame4("TIT2", stored))), "ÿz");
}

TEST(Id3Structure, ExtendedHeadersOfBothVersions) {
  // v2.3: size without itself (6), flags, padding size.
  const Bytes ext3 = bigEndian32(6) + bytes({0, 0, 0, 0, 0, 0});
  EXPECT_EQ(title(tag(3, 0x40, ext3 + frame3("TIT2", latin1Frame("T3")))), "T3");
  // v2.4: synchsafe size with itself, flag byte count, flags (here: CRC present, 5 bytes).
  const Bytes ext4 = synchsafe(12) + bytes({1, 0x20, 5, 1, 2, 3, 4, 5});
  EXPECT_EQ(title(tag(4, 0x40, ext4 + frame4("TIT2", utf8Frame("T4")))), "T4");
  // Sizes that do not fit.
  EXPECT_EQ(title(tag(4, 0x40, synchsafe(200) + frame4("TIT2", utf8Frame("x")))), std::nullopt);
  EXPECT_EQ(title(tag(4, 0x40, synchsafe(2) + frame4("TIT2", utf8Frame("x")))), std::nullopt);
  EXPECT_EQ(title(tag(3, 0x40, bytes({0, 0}))), std::nullopt);
}

TEST(Id3Structure, FrameFlagsOfVersion24) {
  const Bytes t = utf8Frame("T");
  // Grouping byte, data length indicator, both.
  EXPECT_EQ(title(tag(4, 0, frame4("TIT2", bytes({9}) + t, 0x40))), "T");
  EXPECT_EQ(title(tag(4, 0, frame4("TIT2", synchsafe(t.size()) + t, 0x01))), "T");
  EXPECT_EQ(title(tag(4, 0, frame4("TIT2", bytes({9}) + synchsafe(2) + t, 0x41))), "T");
  // Compressed and encrypted frames are skipped, not misread; the next frame still counts.
  EXPECT_EQ(title(tag(4, 0, frame4("TIT2", t, 0x08) + frame4("TPE1", utf8Frame("A")))), "A");
  EXPECT_EQ(title(tag(4, 0, frame4("TIT2", t, 0x04))), std::nullopt);
}

TEST(Id3Structure, FrameFlagsOfVersion23) {
  const Bytes t = latin1Frame("T");
  EXPECT_EQ(title(tag(3, 0, frame3("TIT2", bytes({9}) + t, 0x20))), "T");
  EXPECT_EQ(title(tag(3, 0, frame3("TIT2", t, 0x80))), std::nullopt);
  EXPECT_EQ(title(tag(3, 0, frame3("TIT2", t, 0x40))), std::nullopt);
}

TEST(Id3Structure, Version24FrameWithPlainSizeIsReadAsPlain) {
  // 200 bytes of text: a plain big-endian size byte 0xC8 is no synchsafe byte.
  const std::string long_(199, 'x');
  const Bytes f = text("TIT2") + bigEndian32(200) + bytes({0, 0}) + utf8Frame(long_);
  EXPECT_EQ(title(tag(4, 0, f)), long_);
}

TEST(Id3Structure, Version22FramesHaveThreeLetterIds) {
  const Bytes f = text("TP1") + bytes({0, 0, 2, 0, 'A'}) + text("TT2") + bytes({0, 0, 2, 0, 'T'});
  EXPECT_EQ(title(tag(2, 0, f)), "A - T");
  EXPECT_EQ(title(tag(2, 0x40, f)), std::nullopt);  // v2.2 compression
}

TEST(Id3Structure, CutShortTagsAreReadAsFarAsTheyGo) {
  const Bytes whole =
      tag(4, 0, frame4("TPE1", utf8Frame("Artist")) + frame4("TIT2", utf8Frame("Title")));
  for (std::size_t cut = 0; cut <= whole.size(); ++cut) {
    const Bytes part(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
    const auto got = title(part);
    if (cut < 10 + 10 + 2) {
      EXPECT_EQ(got, std::nullopt) << cut;
    } else if (got) {
      // Always a prefix of the artist, then maybe a prefix of the title: never other bytes.
      EXPECT_TRUE(std::string("Artist - Title").starts_with(got->substr(0, got->size() - 2)) ||
                  std::string("Artist").starts_with(got->substr(0, got->size() - 2)))
          << cut << ": " << *got;
    }
  }
  EXPECT_EQ(title(whole), "Artist - Title");
}

TEST(Id3Structure, HugeFrameSizesStayInsideTheTag) {
  const Bytes f = text("TIT2") + bytes({0x7f, 0x7f, 0x7f, 0x7f, 0, 0}) + utf8Frame("T");
  EXPECT_EQ(title(tag(4, 0, f)), "T");
  const Bytes g =
      text("PRIV") + bytes({0x7f, 0x7f, 0x7f, 0x7f, 0, 0}) + frame4("TIT2", utf8Frame("T"));
  EXPECT_EQ(title(tag(4, 0, g)), std::nullopt);  // the title is inside PRIV's claimed body
}

// ---------------------------------------------------------------------------------------------
// Timed metadata packets

TEST(TimedId3, WholeTagAndTagCutByFfmpegsMpegTsDemuxer) {
  const Bytes whole = tag(
      4, 0,
      frame4("PRIV", text("x")) + frame4("TPE1", utf8Frame("A")) + frame4("TIT2", utf8Frame("T")));
  EXPECT_EQ(timed(whole), "A - T");
  // What FFmpeg 5.1 hands out for stream type 0x15: the first five bytes are gone.
  const Bytes cut(whole.begin() + 5, whole.end());
  EXPECT_EQ(timed(cut), "A - T");
  // A cut v2.3 tag with a frame over 127 bytes: read with plain sizes after v2.4 fails.
  const std::string long_(150, 'y');
  const Bytes v3 = tag(3, 0, frame3("TIT2", latin1Frame(long_)));
  EXPECT_EQ(timed(Bytes(v3.begin() + 5, v3.end())), long_);
}

TEST(TimedId3, SeveralTagsInOnePacketTheLastTitleWins) {
  const Bytes a = tag(4, 0, frame4("TIT2", utf8Frame("First")));
  const Bytes b = tag(4, 0, frame4("PRIV", text("no title")));
  const Bytes c = tag(4, 0, frame4("TIT2", utf8Frame("Third")));
  EXPECT_EQ(timed(a + b + c), "Third");
  EXPECT_EQ(timed(a + b), "First");
}

TEST(TimedId3, GarbageGivesNothing) {
  EXPECT_EQ(timed({}), std::nullopt);
  EXPECT_EQ(timed(text("hello, this is no tag at all")), std::nullopt);
  EXPECT_EQ(timed(bytes({0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0})), std::nullopt);
  // A cut tag claiming more than there is.
  EXPECT_EQ(timed(bytes({0, 0, 0, 1, 0}) + frame4("TIT2", utf8Frame("x"))), std::nullopt);
}

}  // namespace
}  // namespace radiolist::hls
