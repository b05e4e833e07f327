// FFmpeg's HLS demuxer on a live stream from tools/hls-live.py, with every request made by our
// HttpStream: MPEG-TS segments with timed ID3, packed AAC and MP3 with ID3 heads, AES-128.
// Each case decodes about 5 s of the tone, sees the titles change and checks the server's log:
// every request carries our User-Agent, and the playlist was reloaded through us.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "playback/hls/hls_requests.h"
#include "playback/net/http_stream.h"
#include "live_server.h"
#include "support/signal_analysis.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace radiolist::hls {
namespace {

using test::kTitles;
using test::LiveServer;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The first playlist, fetched the way the engine fetches any address; the demuxer reads it from
// a custom pb over these bytes.
struct Playlist {
  std::string body;
  std::string effectiveUrl;
  std::size_t read = 0;

  static int readPacket(void* opaque, std::uint8_t* buf, int size) {
    auto& p = *static_cast<Playlist*>(opaque);
    const std::size_t n = std::min(static_cast<std::size_t>(size), p.body.size() - p.read);
    if (n == 0) return AVERROR_EOF;
    std::memcpy(buf, p.body.data() + p.read, n);
    p.read += n;
    return static_cast<int>(n);
  }
};

net::StreamOptions optionsFor(const std::string& url) {
  net::StreamOptions o;
  o.url = url;
  return o;
}

Playlist fetch(const std::string& url) {
  auto stream = net::HttpStream::start(optionsFor(url));
  Playlist p;
  std::array<std::byte, 4096> buf;
  for (int i = 0; i < 200; ++i) {
    const std::size_t n = stream->read(buf, 50ms);
    p.body.append(reinterpret_cast<const char*>(buf.data()), n);
    if (n == 0 && stream->state() != net::StreamState::Connecting &&
        stream->state() != net::StreamState::Streaming)
      break;
  }
  if (auto head = stream->head()) p.effectiveUrl = head->effectiveUrl;
  return p;
}

struct Session {
  std::mutex mutex;
  std::vector<std::string> titles;  // as reported, in order
  std::vector<std::string> openedUrls;
  std::vector<float> left;  // channel 0 of the decoded audio
  int sampleRate = 0;
  std::string openError;
  std::string url;
};

int count(const std::vector<std::string>& lines, std::string_view part) {
  return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
    return l.find(part) != std::string::npos;
  }));
}

// The tone dominates every second of the decoded audio after the first.
void expectTone(const Session& s, double frequency) {
  ASSERT_GT(s.sampleRate, 0);
  ASSERT_GE(s.left.size(), static_cast<std::size_t>(5 * s.sampleRate));
  const std::span<const float> all(s.left);
  for (std::size_t at = static_cast<std::size_t>(s.sampleRate); at + 4410 < all.size();
       at += static_cast<std::size_t>(s.sampleRate)) {
    EXPECT_GT(radiolist::test::toneShare(all.subspan(at, 4410), frequency, s.sampleRate), 0.5)
        << "at " << at;
  }
}

// Opens the demuxer through HlsRequests and decodes until `seconds` of audio or a stop.
void play(const std::string& url, double seconds, std::stop_token stop, Session& s,
          bool routeThroughUs = true) {
  s.url = url;
  av_log_set_level(AV_LOG_ERROR);
  Playlist playlist = fetch(url);
  ASSERT_TRUE(playlist.body.starts_with("#EXTM3U")) << playlist.body;
  HlsRequests requests(
      [&](const std::string& u, std::optional<net::ByteRange> range) {
        std::lock_guard lock(s.mutex);
        s.openedUrls.push_back(u);
        net::StreamOptions options = optionsFor(u);
        options.range = range;
        return net::HttpStream::start(options);
      },
      stop,
      [&](SongTitle t) {
        std::lock_guard lock(s.mutex);
        s.titles.push_back(std::move(t.text));
      });

  AVFormatContext* ctx = avformat_alloc_context();
  auto* buffer = static_cast<unsigned char*>(av_malloc(4096));
  AVIOContext* pb =
      avio_alloc_context(buffer, 4096, 0, &playlist, &Playlist::readPacket, nullptr, nullptr);
  ctx->pb = pb;
  ctx->flags |= AVFMT_FLAG_CUSTOM_IO;
  // The engine's probe limits; the demuxer hands them on to each segment's own demuxer, which
  // would otherwise read 4 s of every variant before the first packet.
  ctx->probesize = 32768;
  ctx->max_analyze_duration = 500000;
  const auto ffmpegOpen = ctx->io_open;
  const auto ffmpegClose = ctx->io_close2;
  AVDictionary* options = nullptr;
  requests.attach(ctx, &options);
  if (!routeThroughUs) {
    // FFmpeg's own transport with our options: the whitelist must stop it.
    ctx->io_open = ffmpegOpen;
    ctx->io_close2 = ffmpegClose;
  }
  int r = avformat_open_input(&ctx, playlist.effectiveUrl.c_str(), av_find_input_format("hls"),
                              &options);
  av_dict_free(&options);
  const auto freePb = [&] {
    av_freep(&pb->buffer);
    avio_context_free(&pb);
  };
  if (r < 0) {
    char text[128];
    av_strerror(r, text, sizeof text);
    s.openError = text;
    freePb();
    return;
  }
  // Before the first packet: later the demuxer keeps fetching every variant it started with.
  int audio = selectAudioVariant(ctx);
  // MPEG-TS segments may announce their streams, and do announce their audio parameters, only
  // in packets: look at the first ones.
  if (audio < 0 || ctx->streams[audio]->codecpar->sample_rate == 0) {
    ASSERT_GE(avformat_find_stream_info(ctx, nullptr), 0);
    if (audio < 0) audio = selectAudioVariant(ctx);
  }
  ASSERT_GE(audio, 0);
  const AVCodecParameters* par = ctx->streams[audio]->codecpar;
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  ASSERT_NE(codec, nullptr);
  AVCodecContext* dec = avcodec_alloc_context3(codec);
  ASSERT_GE(avcodec_parameters_to_context(dec, par), 0);
  ASSERT_GE(avcodec_open2(dec, codec, nullptr), 0);
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  while (!stop.stop_requested()) {
    {
      std::lock_guard lock(s.mutex);
      if (s.sampleRate > 0 && s.left.size() >= seconds * s.sampleRate) break;
    }
    if (av_read_frame(ctx, pkt) < 0) break;
    const AVStream* st = ctx->streams[pkt->stream_index];
    if (st->codecpar->codec_id == AV_CODEC_ID_TIMED_ID3) {
      (void)requests.timedMetadata(*pkt);
    } else if (pkt->stream_index == audio && avcodec_send_packet(dec, pkt) >= 0) {
      while (avcodec_receive_frame(dec, frame) >= 0) {
        std::lock_guard lock(s.mutex);
        s.sampleRate = frame->sample_rate;
        const auto* samples = reinterpret_cast<const float*>(frame->extended_data[0]);
        const int step = frame->format == AV_SAMPLE_FMT_FLT ? frame->ch_layout.nb_channels : 1;
        if (frame->format == AV_SAMPLE_FMT_FLT || frame->format == AV_SAMPLE_FMT_FLTP)
          for (int i = 0; i < frame->nb_samples; ++i) s.left.push_back(samples[i * step]);
      }
    }
    av_packet_unref(pkt);
  }
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&dec);
  avformat_close_input(&ctx);
  freePb();
}

struct Case {
  const char* name;
  std::vector<std::string> args;
  const char* segmentSuffix;
};

class HlsLive : public ::testing::TestWithParam<Case> {};

TEST_P(HlsLive, PlaysTheToneWithItsTitlesAndEveryRequestIsOurs) {
  const Case& c = GetParam();
  LiveServer server(c.args);
  ASSERT_TRUE(server.url().starts_with("http://127.0.0.1:")) << server.url();

  Session s;
  std::stop_source stop;
  play(server.url(), 5.5, stop.get_token(), s);
  ASSERT_EQ(s.openError, "");

  expectTone(s, 440);

  // Titles: both, each reported once per change.
  std::set<std::string> distinct(s.titles.begin(), s.titles.end());
  EXPECT_TRUE(distinct.contains("Tester - Title One") || distinct.contains("Tester - Title Two"));
  EXPECT_EQ(distinct.size(), 2u) << "titles seen: " << s.titles.size();
  for (std::size_t i = 1; i < s.titles.size(); ++i) EXPECT_NE(s.titles[i], s.titles[i - 1]);

  // Requests: segments and playlist reloads went through our opener, and the server saw
  // nobody but us.
  int reloads = 0;
  int segments = 0;
  for (const std::string& u : s.openedUrls) {
    reloads += u.ends_with("/live.m3u8");
    segments += u.ends_with(c.segmentSuffix);
  }
  EXPECT_GE(reloads, 1);
  EXPECT_GE(segments, 5);
  const auto log = server.requestLog();
  EXPECT_EQ(log.size(), s.openedUrls.size() + 1);  // the first playlist came from fetch()
  for (const std::string& line : log) EXPECT_TRUE(line.ends_with(" radiolist/0.1")) << line;
}

INSTANTIATE_TEST_SUITE_P(
    Formats, HlsLive,
    ::testing::Values(Case{"MpegTsTimedId3", {"--format", "ts"}, ".ts"},
                      Case{"PackedAac", {"--format", "aac"}, ".aac"},
                      Case{"PackedMp3", {"--format", "mp3"}, ".mp3"},
                      Case{"MpegTsAes128", {"--format", "ts", "--key"}, ".ts"},
                      Case{"PackedAacAes128", {"--format", "aac", "--key"}, ".aac"}),
    [](const ::testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

TEST(HlsLiveNetwork, RequestsInTurnToAKeepAliveServerShareOneConnection) {
  LiveServer server({"--format", "aac", "--keep-alive"});
  ASSERT_FALSE(server.url().empty());
  for (int i = 0; i < 5; ++i)
    EXPECT_NE(fetch(server.url()).body.find("#EXTM3U"), std::string::npos);
  EXPECT_EQ(server.requestLog().size(), 5u);
  EXPECT_EQ(server.connections(), 1u) << "each request made a connection of its own";
}

TEST(HlsLiveVariants, OnlyTheVariantOfHighestBandwidthIsFetched) {
  LiveServer server({"--format", "aac", "--variants"});
  ASSERT_TRUE(server.url().ends_with("/master.m3u8")) << server.url();
  Session s;
  std::stop_source stop;
  play(server.url(), 5.5, stop.get_token(), s);
  ASSERT_EQ(s.openError, "");
  expectTone(s, 440);  // live.m3u8, BANDWIDTH=128000; b-live.m3u8 has 660 Hz at 64000
  EXPECT_EQ(std::set<std::string>(s.titles.begin(), s.titles.end()).size(), 2u);
  // The other variant: its playlist and first segment once, while the demuxer opened it.
  const auto log = server.requestLog();
  EXPECT_EQ(count(log, "GET /b-live.m3u8 "), 1);
  EXPECT_LE(count(log, "GET /b-seg"), 1);
  EXPECT_GE(count(log, "GET /seg"), 5);
  EXPECT_GE(count(log, "GET /live.m3u8 "), 2);
  for (const std::string& line : log) EXPECT_TRUE(line.ends_with(" radiolist/0.1")) << line;
}

TEST(HlsLiveBypass, FfmpegsOwnTransportIsRefused) {
  LiveServer server({"--format", "ts"});
  ASSERT_TRUE(server.url().starts_with("http://")) << server.url();
  Session s;
  std::stop_source stop;
  play(server.url(), 1, stop.get_token(), s, /*routeThroughUs=*/false);
  EXPECT_NE(s.openError, "");
  EXPECT_TRUE(s.left.empty());
  // Only our fetch of the first playlist reached the server.
  const auto log = server.requestLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_TRUE(log[0].ends_with(" radiolist/0.1")) << log[0];
}

TEST(HlsLiveStop, AStopEndsTheDemuxerWhileItWaitsForTheNextSegment) {
  LiveServer server({"--format", "aac"});
  ASSERT_TRUE(server.url().starts_with("http://")) << server.url();
  Session s;
  std::stop_source stop;
  std::jthread player([&] { play(server.url(), 3600, stop.get_token(), s); });
  // Once it plays live (past the segments already listed), it waits on reloads and segments.
  for (int i = 0; i < 200; ++i) {
    std::this_thread::sleep_for(50ms);
    std::lock_guard lock(s.mutex);
    if (s.sampleRate > 0 && s.left.size() > static_cast<std::size_t>(5 * s.sampleRate)) break;
  }
  stop.request_stop();
  const auto stopped = Clock::now();
  player.join();
  // Not a benchmark: a hang guard. Reads poll the stop every 50 ms, reload waits every 100 ms.
  EXPECT_LT(Clock::now() - stopped, 3s);
  std::lock_guard lock(s.mutex);
  EXPECT_GT(s.left.size(), static_cast<std::size_t>(5 * s.sampleRate));
}

}  // namespace
}  // namespace radiolist::hls
