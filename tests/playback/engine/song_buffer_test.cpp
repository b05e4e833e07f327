// The song buffer: what it keeps and what that costs, the files it names, and how a save ends.
#include "playback/engine/song_buffer.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <vector>

#include "fake_stream.h"
#include "playback/engine/icy_title.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace radiolist::audio {
namespace {

namespace fs = std::filesystem;

// Bytes the heap holds for the program now.
std::size_t heapBytes() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

// A media file's audio packets as its demuxer gives them.
struct Demuxed {
  FormatPtr format;
  std::vector<PacketPtr> packets;
  [[nodiscard]] const AVStream& stream() const { return *format->streams[0]; }
};

Demuxed demux(const std::string& path) {
  Demuxed out;
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return out;
  out.format.reset(raw);
  for (PacketPtr p(av_packet_alloc()); av_read_frame(raw, p.get()) >= 0; p.reset(av_packet_alloc()))
    out.packets.push_back(std::move(p));
  return out;
}

// Seconds of audio a file decodes to; 0 when it does not open.
double decodedSeconds(const std::string& path) {
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return 0;
  const FormatPtr format(raw);
  if (avformat_find_stream_info(raw, nullptr) < 0) return 0;
  const AVCodecParameters* params = raw->streams[0]->codecpar;
  const AVCodec* codec = avcodec_find_decoder(params->codec_id);
  const CodecContextPtr decoder(avcodec_alloc_context3(codec));
  if (avcodec_parameters_to_context(decoder.get(), params) < 0 ||
      avcodec_open2(decoder.get(), codec, nullptr) < 0)
    return 0;
  const PacketPtr packet(av_packet_alloc());
  const FramePtr frame(av_frame_alloc());
  std::int64_t samples = 0;
  while (av_read_frame(raw, packet.get()) >= 0) {
    if (avcodec_send_packet(decoder.get(), packet.get()) >= 0) {
      while (avcodec_receive_frame(decoder.get(), frame.get()) >= 0) samples += frame->nb_samples;
    }
    av_packet_unref(packet.get());
  }
  return static_cast<double>(samples) / params->sample_rate;
}

std::size_t filesIn(const fs::path& dir) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir)) ++n;
  return n;
}

// The title of an ICY block as the source hands it to the buffer.
SongTitle icy(std::string_view block) { return icyTitle(block).value_or(SongTitle{}); }

// A file's tag, "" when it has none.
std::string tagOf(const std::string& path, const char* key) {
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return "cannot open";
  const FormatPtr format(raw);
  const AVDictionaryEntry* entry = av_dict_get(raw->metadata, key, nullptr, 0);
  return entry != nullptr ? entry->value : "";
}

struct ScratchDir {
  fs::path path = fs::path(::testing::TempDir()) /
                  ("songs-" + std::to_string(::getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
  ScratchDir() { fs::create_directories(path); }
  ~ScratchDir() { fs::remove_all(path); }
};

TEST(SongBufferTest, FileNamesAreSafeAndShowWhatTheTitleSays) {
  const struct {
    const char* title;
    int n;
    const char* file;
  } names[] = {
      {"Artist - Title", 1, "Artist - Title.mp3"},
      {"AC/DC - Back in Black", 2, "AC_DC - Back in Black (2).mp3"},
      {"../..\x1b[2J - x", 1, "_.._[2J - x.mp3"},  // no leading dot, no escape byte
      {"", 1, "Song.mp3"},
      {"Кино - Группа крови", 1, "Кино - Группа крови.mp3"},
      // Right-to-left override: "Evil \u202Egnp.exe.mp3" would show as "Evil 3pm.exe.png".
      {"Evil \u202Egnp.exe", 1, "Evil _gnp.exe.mp3"},
      {"a\u200Eb\u200Fc\u202Ad\u2066e\u2069f\u061Cg", 1, "a_b_c_d_e_f_g.mp3"},
      {"C1\xc2\x85next\xc2\x9f", 1, "C1_next_.mp3"},  // NEL and APC
      // What shows nothing at all: zero-width space, line separator, byte-order mark.
      {"Zero\u200Bwidth\u2028line\uFEFF", 1, "Zero_width_line_.mp3"},
  };
  for (const auto& n : names) EXPECT_EQ(songFileName(n.title, "mp3", n.n), n.file) << n.title;
  const std::string longName = songFileName(std::string(300, 'a') + "\xd0\x96", "ogg");
  EXPECT_LE(longName.size(), 204u);
  EXPECT_EQ(songExtension("aac"), "m4a");
  EXPECT_EQ(songExtension("flac"), "");
}

// A station of tiny packets must not make the bookkeeping cost more than the bound: it counts
// what each packet costs, not only its bytes. A codec that is not saved keeps nothing at all.
TEST(SongBufferTest, WhatIsKeptCostsAtMostTheBoundWhateverThePacketSize) {
  AVFormatContext* context = avformat_alloc_context();
  AVStream* stream = avformat_new_stream(context, nullptr);
  stream->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
  stream->codecpar->codec_id = AV_CODEC_ID_MP3;
  stream->codecpar->sample_rate = 44100;
  stream->time_base = {1, 44100};
  PacketPtr tiny(av_packet_alloc());
  ASSERT_EQ(av_new_packet(tiny.get(), 8), 0);
  {
    const std::size_t heapBefore = heapBytes();
    SongBuffer buffer;
    for (int i = 0; i < 1'500'000; ++i) buffer.push(*tiny, *stream);
    EXPECT_LE(buffer.bytes(), SongBuffer::kKeepBytes);
    EXPECT_LE(heapBytes() - heapBefore, SongBuffer::kKeepBytes * 11 / 10)
        << buffer.packets() << " packets kept";
  }
  PacketPtr large(av_packet_alloc());
  ASSERT_EQ(av_new_packet(large.get(), 1 << 20), 0);
  SongBuffer buffer;
  for (int i = 0; i < 30; ++i) buffer.push(*large, *stream);
  EXPECT_LE(buffer.bytes(), SongBuffer::kKeepBytes);
  EXPECT_GE(buffer.bytes(), SongBuffer::kKeepBytes - (2u << 20));

  stream->codecpar->codec_id = AV_CODEC_ID_FLAC;  // another stream, kept to replay, not saved
  for (int i = 0; i < 1000; ++i) buffer.push(*tiny, *stream);
  EXPECT_LE(buffer.bytes(), SongBuffer::kKeepBytes);
  const SongSave save = buffer.save(::testing::TempDir(), "Station");
  EXPECT_EQ(save.status, SongSave::Status::NothingToSave);
  EXPECT_EQ(save.why, Outcome::about(Outcome::Code::CodecNotSaved, {}, "flac"));
  avformat_free_context(context);
}

// A chained Ogg stream of links a packet long, alternating 44.1 kHz stereo and 48 kHz mono, each
// with kilobytes of headers: every link's parameters are counted and go with its packets, so the
// memory stays within the bound, and each packet kept replays with its own link's parameters.
TEST(SongBufferTest, EachLinksParametersAreCountedAndDroppedWithItsPackets) {
  struct Link {
    int rate;
    int channels;
    int extradata;
  };
  constexpr Link kLinks[] = {{44100, 2, 6000}, {48000, 1, 4500}};
  AVFormatContext* context = avformat_alloc_context();
  AVStream* stream = avformat_new_stream(context, nullptr);
  stream->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
  stream->codecpar->codec_id = AV_CODEC_ID_VORBIS;
  PacketPtr packet(av_packet_alloc());
  ASSERT_EQ(av_new_packet(packet.get(), 100), 0);
  constexpr int kPushed = 20'000;  // 100 MB of headers
  const std::size_t heapBefore = heapBytes();
  {
    SongBuffer buffer;
    for (int i = 0; i < kPushed; ++i) {
      const Link& link = kLinks[i % 2];
      AVCodecParameters* params = stream->codecpar;
      params->sample_rate = link.rate;
      av_channel_layout_uninit(&params->ch_layout);
      av_channel_layout_default(&params->ch_layout, link.channels);
      av_freep(&params->extradata);
      params->extradata =
          static_cast<std::uint8_t*>(av_mallocz(link.extradata + AV_INPUT_BUFFER_PADDING_SIZE));
      params->extradata_size = link.extradata;
      params->extradata[0] = static_cast<std::uint8_t>(i);  // each link's headers its own
      stream->time_base = {1, link.rate};
      packet->duration = 1323 * link.rate / 44100;  // 30 ms
      std::memcpy(packet->data, &i, sizeof i);
      ASSERT_TRUE(buffer.push(*packet, *stream)) << i;
    }
    EXPECT_LE(buffer.bytes(), SongBuffer::kKeepBytes);
    EXPECT_LT(buffer.packets(), static_cast<std::size_t>(kPushed)) << "headers cost nothing?";
    EXPECT_LE(heapBytes() - heapBefore, SongBuffer::kKeepBytes * 11 / 10)
        << buffer.packets() << " packets kept";
    const std::uint64_t next = buffer.nextSeq();
    for (std::uint64_t seq = next - buffer.packets(); seq < next; seq += 97) {
      const auto kept = buffer.packet(seq);
      ASSERT_TRUE(kept);
      int link = 0;
      std::memcpy(&link, kept->packet->data, sizeof link);
      EXPECT_EQ(kept->params->sample_rate, kLinks[link % 2].rate) << seq;
      EXPECT_EQ(kept->params->extradata_size, kLinks[link % 2].extradata) << seq;
      EXPECT_EQ(kept->params->extradata[0], static_cast<std::uint8_t>(link)) << seq;
    }
  }
  avformat_free_context(context);
}

// Asked again while the song is being saved, a save names the same file; the file plays from the
// moment it is named; only a new title ends it (not a StreamUrl with a counter).
TEST(SongBufferTest, ASongIsSavedOnceIntoAFileThatPlaysUntilItsTitleChanges) {
  const Demuxed mp3 = demux(test::mediaPath("tone440.mp3"));
  ASSERT_GT(mp3.packets.size(), 100u);
  const ScratchDir dir;
  SongBuffer buffer;
  EXPECT_EQ(buffer.save(dir.path, "").status, SongSave::Status::NothingToSave) << "no audio yet";
  buffer.titleIs(icy("StreamTitle='Artist - Song';StreamUrl='1';"));
  const std::size_t half = mp3.packets.size() / 2;
  for (std::size_t i = 0; i < half; ++i) buffer.push(*mp3.packets[i], mp3.stream());

  const SongSave first = buffer.save(dir.path, "Station");
  ASSERT_EQ(first.status, SongSave::Status::Saving) << static_cast<int>(first.why.code);
  EXPECT_EQ(fs::path(first.path).filename(), "Artist - Song.mp3");
  EXPECT_GT(decodedSeconds(first.path), 1.0) << "what was kept is in the file at once";
  for (int again = 0; again < 9; ++again)
    EXPECT_EQ(buffer.save(dir.path, "Station").path, first.path);
  EXPECT_EQ(filesIn(dir.path), 1u);

  for (std::size_t i = half; i < mp3.packets.size(); ++i) {
    buffer.titleIs(icy("StreamTitle='Artist - Song';StreamUrl='" + std::to_string(i) + "';"));
    buffer.push(*mp3.packets[i], mp3.stream());
  }
  EXPECT_TRUE(buffer.saving()) << "only the title ends a song";
  buffer.titleIs(icy("StreamTitle='Next - One';StreamUrl='';"));
  EXPECT_FALSE(buffer.saving());
  EXPECT_GT(decodedSeconds(first.path), 2.5);
  const SongSave next = buffer.save(dir.path, "Station");
  EXPECT_EQ(next.status, SongSave::Status::Saving);
  buffer.titleIs(icy("StreamTitle='Third';"));  // before any audio of "Next - One" came
  EXPECT_FALSE(fs::exists(next.path)) << "a file without audio would not play: it goes";
}

// The file's name is the title's whole text, its tags the artist and title as the station
// parted them (not cut again from the text).
TEST(SongBufferTest, TheFileIsNamedAndTaggedFromTheStructuredTitle) {
  const Demuxed mp3 = demux(test::mediaPath("tone440.mp3"));
  const ScratchDir dir;
  const struct {
    SongTitle title;
    const char* file;
  } cases[] = {
      {icy("StreamTitle='Rock;Roll - Live';StreamUrl='';"), "Rock;Roll - Live.mp3"},
      {{"Band - X", "Y", "Band - X - Y"}, "Band - X - Y.mp3"},  // from Ogg comments or ID3
      {{"Solo", "", "Solo"}, "Solo.mp3"},
  };
  for (const auto& c : cases) {
    SongBuffer buffer;
    buffer.titleIs(c.title);
    for (const auto& packet : mp3.packets) buffer.push(*packet, mp3.stream());
    const SongSave save = buffer.save(dir.path, "");
    ASSERT_EQ(save.status, SongSave::Status::Saving) << static_cast<int>(save.why.code);
    buffer.stopSaving();
    EXPECT_EQ(fs::path(save.path).filename(), c.file);
    EXPECT_EQ(tagOf(save.path, "artist"), c.title.artist) << c.file;
    EXPECT_EQ(tagOf(save.path, "title"), c.title.title) << c.file;
  }
}

// Every way a save can fail says so, with the system's reason where it gave one.
TEST(SongBufferTest, ErrorsAreToldAsTheyAre) {
  const Demuxed mp3 = demux(test::mediaPath("tone440.mp3"));
  const ScratchDir dir;
  SongBuffer buffer;
  buffer.titleIs(icy("StreamTitle='Same';"));
  for (const auto& packet : mp3.packets) buffer.push(*packet, mp3.stream());

  std::ofstream(dir.path / "file");
  SongSave save = buffer.save((dir.path / "file" / "music").string(), "");
  EXPECT_EQ(save.status, SongSave::Status::CannotWrite);
  EXPECT_EQ(save.why.code, Outcome::Code::CannotCreate);
  EXPECT_EQ(save.why.failure, files::Failure::system(ENOTDIR));

  const fs::path full = dir.path / "full";
  fs::create_directories(full);
  for (int n = 1; n <= kMaxSongFileNumber; ++n)
    std::ofstream(full / songFileName("Same", "mp3", n));
  save = buffer.save(full.string(), "");
  EXPECT_EQ(save.status, SongSave::Status::NamesUsedUp);
  EXPECT_EQ(filesIn(full), static_cast<std::size_t>(kMaxSongFileNumber));

  // A disk that fills up: the file may grow no further than 20 KB.
  save = buffer.save(dir.path.string(), "");
  ASSERT_EQ(save.status, SongSave::Status::Saving);
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
  const rlimit before = limit;
  limit.rlim_cur = static_cast<rlim_t>(fs::file_size(save.path) + 20000);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  for (const auto& packet : mp3.packets) buffer.push(*packet, mp3.stream());
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &before), 0);
  EXPECT_FALSE(buffer.saving()) << "a write error ends the save";
  const std::optional<SongSave> failure = buffer.takeFailure();
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->status, SongSave::Status::CannotWrite);
  EXPECT_EQ(failure->path, save.path);
  EXPECT_EQ(failure->why,
            Outcome::file(Outcome::Code::CannotCreate, save.path, files::Failure::system(EFBIG)));
  EXPECT_FALSE(buffer.takeFailure().has_value()) << "told once";
}

}  // namespace
}  // namespace radiolist::audio

namespace radiolist::audio {
namespace {

// The past is read by moment: each packet where its duration puts it, each title from where it
// began (with the tag it came in), a new stream as a segment of its own; a song heard behind live
// is saved whole, once, while asking for the live one starts the live save.
TEST(SongBufferTest, ThePastIsReadByMomentAndAPastSongIsSavedWhole) {
  const Demuxed mp3 = demux(test::mediaPath("tone440.mp3"));
  const Demuxed aac = demux(test::mediaPath("tone880.aac"));
  ASSERT_GE(mp3.packets.size(), 100u);
  ASSERT_GE(aac.packets.size(), 10u);
  const auto nth = [&](std::size_t i) -> const AVPacket& { return *mp3.packets[i % 100]; };
  const ScratchDir dir;
  SongBuffer buffer;
  buffer.titleIs(icy("StreamTitle='Old - Song';"), "StreamTitle='Old - Song';");
  for (std::size_t i = 0; i < 100; ++i) buffer.push(nth(i), mp3.stream());
  buffer.titleIs(icy("StreamTitle='New - Song';"), "StreamTitle='New - Song';");
  for (std::size_t i = 100; i < 200; ++i) buffer.push(nth(i), mp3.stream());
  constexpr std::int64_t kFrameUs = 1152 * 1'000'000LL / 44100;  // 26.1 ms
  EXPECT_EQ(buffer.oldestUs(), 0);
  EXPECT_NEAR(static_cast<double>(buffer.liveUs()), 200.0 * kFrameUs, 200);

  const struct {
    std::int64_t us;
    std::uint64_t seq;
    const char* title;
  } moments[] = {{0, 0, "Old - Song"},
                 {100 * kFrameUs - 1000, 99, "Old - Song"},
                 {100 * kFrameUs + 1000, 100, "New - Song"},
                 {buffer.liveUs(), 200, "New - Song"}};
  for (const auto& m : moments) {
    EXPECT_EQ(buffer.seqAt(m.us), m.seq) << m.us;
    const auto heard = buffer.titleAt(m.us);
    ASSERT_TRUE(heard) << m.us;
    EXPECT_EQ(heard->title.text, m.title) << m.us;
    EXPECT_EQ(heard->meta, "StreamTitle='" + std::string(m.title) + "';");
  }
  const auto packet = buffer.packet(38);
  ASSERT_TRUE(packet);
  EXPECT_LE(packet->startUs, 1'000'000);
  EXPECT_GT(packet->endUs, 1'000'000);
  ASSERT_EQ(packet->packet->size, mp3.packets[38]->size);
  EXPECT_EQ(std::memcmp(packet->packet->data, mp3.packets[38]->data, packet->packet->size), 0);
  EXPECT_FALSE(buffer.packet(200)) << "not received yet";

  const SongSave past = buffer.save(dir.path, "Station", 1'000'000);
  ASSERT_EQ(past.status, SongSave::Status::Saving) << static_cast<int>(past.why.code);
  EXPECT_EQ(fs::path(past.path).filename(), "Old - Song.mp3");
  EXPECT_NEAR(decodedSeconds(past.path), 100.0 * kFrameUs / 1e6, 0.1) << "the whole song, alone";
  EXPECT_FALSE(buffer.saving()) << "a past song is written at once";
  EXPECT_EQ(buffer.save(dir.path, "Station", 500'000).path, past.path);
  const SongSave now = buffer.save(dir.path, "Station", 3'000'000);
  EXPECT_EQ(fs::path(now.path).filename(), "New - Song.mp3");
  EXPECT_TRUE(buffer.saving()) << "the song heard is the live one";

  // A station's first title covers what came before its first tag, as live listening showed it;
  // a title after one that had gone empty does not.
  SongBuffer late;
  late.titleIs({});
  for (std::size_t i = 0; i < 10; ++i) late.push(nth(i), mp3.stream());
  late.titleIs(icy("StreamTitle='First';"), "StreamTitle='First';");
  for (std::size_t i = 10; i < 20; ++i) late.push(nth(i), mp3.stream());
  late.titleIs({});
  for (std::size_t i = 20; i < 30; ++i) late.push(nth(i), mp3.stream());
  late.titleIs(icy("StreamTitle='Second';"), "StreamTitle='Second';");
  EXPECT_EQ(late.titleAt(0)->title.text, "First");
  EXPECT_EQ(late.titleAt(25 * kFrameUs)->title.text, "");
  EXPECT_EQ(late.titleAt(late.liveUs())->title.text, "Second");

  // Another stream: a segment of its own, whose packets come with its parameters.
  for (std::size_t i = 0; i < 10; ++i) buffer.push(*aac.packets[i], aac.stream());
  const auto first = buffer.packet(0), later = buffer.packet(205);
  ASSERT_TRUE(first && later);
  EXPECT_NE(first->segment, later->segment);
  EXPECT_EQ(later->params->codec_id, AV_CODEC_ID_AAC);
  EXPECT_FALSE(buffer.saving()) << "the live song's file ends with its stream";
}

}  // namespace
}  // namespace radiolist::audio
