// The demuxer's requests against fake streams: byte ranges, AES-128, failed answers, stops,
// titles from the ID3 tag at a segment's head, and what attach() sets.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "playback/hls/hls_requests.h"
#include "playback/hls/playlist_guard.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/aes.h>
#include <libavutil/dict.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
}

namespace radiolist::hls {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// Serves a body in pieces of at most `chunk` bytes; or fails with a status; or never answers.
class FakeRequest final : public net::HttpStream {
 public:
  enum class Mode { Serve, Fail, Silent };
  FakeRequest(Bytes body, std::size_t chunk, Mode mode = Mode::Serve, int status = 200,
              std::string effectiveUrl = {}, std::vector<std::string> lines = {})
      : body_(std::move(body)), chunk_(chunk), mode_(mode), status_(status) {
    if (mode_ == Mode::Serve) {
      auto head = std::make_shared<net::ResponseHead>();
      head->effectiveUrl = std::move(effectiveUrl);
      head->lines = std::move(lines);
      head_ = std::move(head);
    }
  }

  std::size_t read(std::span<std::byte> dst, std::chrono::milliseconds timeout) override {
    if (mode_ != Mode::Serve || cancelled_ || pos_ >= body_.size()) {
      std::this_thread::sleep_for(std::min(timeout, std::chrono::milliseconds(5)));
      return 0;
    }
    const std::size_t n = std::min({dst.size(), chunk_, body_.size() - pos_});
    std::memcpy(dst.data(), body_.data() + pos_, n);
    pos_ += n;
    return n;
  }
  [[nodiscard]] std::shared_ptr<const net::ResponseHead> head() const override { return head_; }
  [[nodiscard]] std::optional<std::string> latestMeta() const override { return std::nullopt; }
  void setMetaListener(std::function<void()> /*listener*/) override {}
  [[nodiscard]] net::StreamState state() const override {
    if (cancelled_) return net::StreamState::Cancelled;
    switch (mode_) {
      case Mode::Fail: return net::StreamState::Failed;
      case Mode::Silent: return net::StreamState::Connecting;
      case Mode::Serve: break;
    }
    return pos_ >= body_.size() ? net::StreamState::Ended : net::StreamState::Streaming;
  }
  void dropBuffered() override {}
  void cancel() override { cancelled_ = true; }
  [[nodiscard]] net::StreamStats stats() const override {
    net::StreamStats s;
    s.httpStatus = status_;
    return s;
  }

 private:
  Bytes body_;
  std::size_t chunk_;
  Mode mode_;
  int status_;
  std::shared_ptr<const net::ResponseHead> head_;
  std::size_t pos_ = 0;
  std::atomic<bool> cancelled_{false};
};

// A context with HlsRequests attached, whose io_open serves the next prepared stream.
class Harness {
 public:
  explicit Harness(std::stop_token stop = {})
      : requests_(
            [this](const std::string& url, std::optional<net::ByteRange> range) {
              opened.push_back(url);
              ranges.push_back(range);
              auto s = std::move(next.front());
              next.erase(next.begin());
              return s;
            },
            stop, [this](SongTitle t) { titles.push_back(std::move(t.text)); }) {
    ctx_ = avformat_alloc_context();
    requests_.attach(ctx_, &options);
  }
  ~Harness() {
    av_dict_free(&options);
    avformat_free_context(ctx_);
  }

  // Opens `url` with `opts` and reads everything; the result of io_open when it fails.
  int readAll(const std::string& url, Bytes& out, AVDictionary* opts = nullptr) {
    AVIOContext* pb = nullptr;
    const int r = ctx_->io_open(ctx_, &pb, url.c_str(), AVIO_FLAG_READ, &opts);
    av_dict_free(&opts);
    if (r < 0) return r;
    std::uint8_t buf[1000];
    int n = 0;
    while ((n = avio_read(pb, buf, sizeof buf)) > 0) out.insert(out.end(), buf, buf + n);
    lastRead = n;
    ctx_->io_close2(ctx_, pb);
    return 0;
  }

  HlsRequests& requests() { return requests_; }
  AVFormatContext* ctx() { return ctx_; }

  std::vector<std::shared_ptr<net::HttpStream>> next;
  std::vector<std::string> opened;
  std::vector<std::optional<net::ByteRange>> ranges;
  std::vector<std::string> titles;
  AVDictionary* options = nullptr;
  int lastRead = 0;

 private:
  HlsRequests requests_;
  AVFormatContext* ctx_ = nullptr;
};

Bytes counting(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i % 251);
  return b;
}

TEST(HlsRequests, AttachRoutesRequestsAndForbidsFfmpegsProtocols) {
  Harness h;
  auto get = [&](const char* key) {
    const AVDictionaryEntry* e = av_dict_get(h.options, key, nullptr, 0);
    return e != nullptr ? std::string(e->value) : std::string("(unset)");
  };
  EXPECT_EQ(get("http_persistent"), "0");
  EXPECT_EQ(get("http_multiple"), "0");
  EXPECT_NE(get("protocol_whitelist"), "(unset)");
  // The whitelist names no protocol FFmpeg has.
  EXPECT_EQ(avio_find_protocol_name((get("protocol_whitelist") + "://x").c_str()), nullptr);
  EXPECT_NE(h.ctx()->interrupt_callback.callback, nullptr);

  // A caller's interrupt callback stays.
  AVFormatContext* ctx = avformat_alloc_context();
  int (*mine)(void*) = [](void*) { return 0; };
  ctx->interrupt_callback = {mine, nullptr};
  AVDictionary* options = nullptr;
  HlsRequests r({}, {}, {});
  r.attach(ctx, &options);
  EXPECT_EQ(ctx->interrupt_callback.callback, mine);
  av_dict_free(&options);
  avformat_free_context(ctx);
}

TEST(HlsRequests, ByteRangesAreCutFromTheWholeBody) {
  const Bytes body = counting(1000);
  for (std::size_t chunk : {1u, 7u, 4096u}) {
    Harness h;
    h.next.push_back(std::make_shared<FakeRequest>(body, chunk));
    AVDictionary* opts = nullptr;
    av_dict_set(&opts, "offset", "100", 0);
    av_dict_set(&opts, "end_offset", "250", 0);
    Bytes got;
    ASSERT_EQ(h.readAll("http://h/seg.ts", got, opts), 0);
    EXPECT_EQ(got, Bytes(body.begin() + 100, body.begin() + 250)) << chunk;
    EXPECT_EQ(h.lastRead, AVERROR_EOF);
    // No range: the whole body.
    h.next.push_back(std::make_shared<FakeRequest>(body, chunk));
    got.clear();
    ASSERT_EQ(h.readAll("http://h/seg.ts", got), 0);
    EXPECT_EQ(got, body);
    EXPECT_EQ(h.requests().requestCount(), 2u);
  }
}

TEST(HlsRequests, ByteRangesAreAskedForAndTakenFromWhereTheAnswerBegins) {
  const Bytes whole = counting(1000);
  const struct {
    int status;
    std::string contentRange;  // "" for none
    std::size_t servedFrom;    // the body served starts at this byte of the resource
    bool opens;
  } cases[] = {{206, "Content-Range: bytes 100-249/1000", 100, true},
               {206, "", 100, true},
               {206, "content-range: bytes 40-999/1000", 40, true},  // more than asked for
               {200, "", 0, true},                                   // the range ignored
               {206, "Content-Range: bytes 150-249/1000", 150, false}};
  for (const auto& c : cases) {
    Harness h;
    std::vector<std::string> lines = {"HTTP/1.1 " + std::to_string(c.status) + " X",
                                      c.contentRange};
    h.next.push_back(std::make_shared<FakeRequest>(
        Bytes(whole.begin() + static_cast<std::ptrdiff_t>(c.servedFrom), whole.end()), 7,
        FakeRequest::Mode::Serve, c.status, "", lines));
    AVDictionary* opts = nullptr;
    av_dict_set(&opts, "offset", "100", 0);
    av_dict_set(&opts, "end_offset", "250", 0);
    Bytes got;
    EXPECT_EQ(h.readAll("http://h/seg.ts", got, opts) == 0, c.opens) << c.contentRange;
    ASSERT_EQ(h.ranges.size(), 1u);
    EXPECT_TRUE(h.ranges[0] && h.ranges[0]->first == 100 && h.ranges[0]->last == 249);
    EXPECT_EQ(got, c.opens ? Bytes(whole.begin() + 100, whole.begin() + 250) : Bytes{})
        << c.contentRange;
  }
}

TEST(HlsRequests, PlaylistsReadByTheDemuxerAreGuarded) {
  std::string huge = "#EXTM3U\n";
  while (huge.size() <= kMaxPlaylistBytes) huge += "#EXTINF:1,\na\n";
  const struct {
    std::string body;
    int result;
    std::string read;
  } cases[] = {{"#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nlo\n#EXT-X-STREAM-INF:BANDWIDTH=2\nhi\n",
                0, "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=2\nhi\n"},
               {huge, AVERROR_INVALIDDATA, ""},
               {"#EXTM3 is no playlist", 0, "#EXTM3 is no playlist"}};
  for (const auto& c : cases) {
    Harness h;
    h.next.push_back(std::make_shared<FakeRequest>(Bytes(c.body.begin(), c.body.end()), 1000));
    Bytes got;
    EXPECT_EQ(h.readAll("http://h/live.m3u8", got), c.result);
    EXPECT_EQ(std::string(got.begin(), got.end()), c.read);
  }
}

// AES-128-CBC with PKCS#7 padding, as segment writers encrypt.
Bytes encrypt(const Bytes& plain, const std::uint8_t* key, const std::uint8_t* iv) {
  Bytes padded = plain;
  const std::size_t pad = 16 - plain.size() % 16;
  padded.insert(padded.end(), pad, static_cast<std::uint8_t>(pad));
  Bytes out(padded.size());
  AVAES* aes = av_aes_alloc();
  av_aes_init(aes, key, 128, 0);
  std::uint8_t ivCopy[16];
  std::memcpy(ivCopy, iv, 16);
  av_aes_crypt(aes, out.data(), padded.data(), static_cast<int>(padded.size() / 16), ivCopy, 0);
  av_free(aes);
  return out;
}

TEST(HlsRequests, Aes128SegmentsAreDecryptedAndLoseTheirPadding) {
  std::uint8_t key[16];
  std::uint8_t iv[16];
  std::iota(key, key + 16, 1);
  std::iota(iv, iv + 16, 100);
  const char* keyHex = "0102030405060708090a0b0c0d0e0f10";
  const char* ivHex = "6465666768696a6b6c6d6e6f70717273";
  for (std::size_t length : {0u, 1u, 15u, 16u, 17u, 1000u, 40000u}) {
    for (std::size_t chunk : {3u, 16u, 5000u}) {
      SCOPED_TRACE(std::to_string(length) + " bytes in pieces of " + std::to_string(chunk));
      const Bytes plain = counting(length);
      Harness h;
      h.next.push_back(std::make_shared<FakeRequest>(encrypt(plain, key, iv), chunk));
      AVDictionary* opts = nullptr;
      av_dict_set(&opts, "key", keyHex, 0);
      av_dict_set(&opts, "iv", ivHex, 0);
      Bytes got;
      ASSERT_EQ(h.readAll("crypto+http://h/a/seg.ts", got, opts), 0);
      EXPECT_EQ(got, plain);
      ASSERT_EQ(h.opened.size(), 1u);
      EXPECT_EQ(h.opened[0], "http://h/a/seg.ts");
    }
  }
}

TEST(HlsRequests, EncryptedRequestWithoutAUsableKeyFails) {
  for (const char* key : {"", "0102", "zz02030405060708090a0b0c0d0e0f10"}) {
    Harness h;
    h.next.push_back(std::make_shared<FakeRequest>(counting(32), 32));
    AVDictionary* opts = nullptr;
    if (*key != '\0') av_dict_set(&opts, "key", key, 0);
    av_dict_set(&opts, "iv", "6465666768696a6b6c6d6e6f70717273", 0);
    Bytes got;
    EXPECT_EQ(h.readAll("crypto:http://h/seg.ts", got, opts), AVERROR(EINVAL)) << key;
  }
}

TEST(HlsRequests, FailedAnswersBecomeHttpErrorsAtOpen) {
  const std::pair<int, int> cases[] = {{404, AVERROR_HTTP_NOT_FOUND},
                                       {403, AVERROR_HTTP_FORBIDDEN},
                                       {410, AVERROR_HTTP_OTHER_4XX},
                                       {503, AVERROR_HTTP_SERVER_ERROR},
                                       {0, AVERROR(EIO)}};
  for (const auto& [status, error] : cases) {
    Harness h;
    h.next.push_back(std::make_shared<FakeRequest>(Bytes{}, 1, FakeRequest::Mode::Fail, status));
    Bytes got;
    EXPECT_EQ(h.readAll("http://h/seg.ts", got), error) << status;
  }
  // An opener that gives nothing.
  Harness h;
  h.next.push_back(nullptr);
  Bytes got;
  EXPECT_EQ(h.readAll("http://h/seg.ts", got), AVERROR(EIO));
}

TEST(HlsRequests, AStopEndsAnOpenThatWaitsForItsAnswer) {
  std::stop_source stop;
  Harness h(stop.get_token());
  h.next.push_back(std::make_shared<FakeRequest>(Bytes{}, 1, FakeRequest::Mode::Silent));
  std::jthread stopper([&] {
    std::this_thread::sleep_for(100ms);
    stop.request_stop();
  });
  Bytes got;
  EXPECT_EQ(h.readAll("http://h/live.m3u8", got), AVERROR_EXIT);
  EXPECT_EQ(h.ctx()->interrupt_callback.callback(h.ctx()->interrupt_callback.opaque), 1);
  // Once stopped, nothing more is opened.
  EXPECT_EQ(h.readAll("http://h/next.ts", got), AVERROR_EXIT);
  EXPECT_EQ(h.opened.size(), 1u);
}

Bytes id3(const std::string& title, std::size_t padding = 0) {
  const std::size_t size = 11 + title.size() + padding;
  Bytes tag;
  tag.reserve(10 + size);
  for (int b : {int{'I'}, int{'D'}, int{'3'}, 4, 0, 0}) tag.push_back(static_cast<std::uint8_t>(b));
  for (int shift : {21, 14, 7, 0}) tag.push_back(static_cast<std::uint8_t>((size >> shift) & 0x7f));
  for (int b : {int{'T'}, int{'I'}, int{'T'}, int{'2'}, 0, 0, 0})
    tag.push_back(static_cast<std::uint8_t>(b));
  for (int b : {static_cast<int>(title.size() + 1), 0, 0, 3})
    tag.push_back(static_cast<std::uint8_t>(b));
  for (char c : title) tag.push_back(static_cast<std::uint8_t>(c));
  tag.resize(tag.size() + padding, 0);
  return tag;
}

TEST(HlsRequests, TheTitleOfASegmentsId3HeadIsReportedWhenItChanges) {
  Harness h;
  const Bytes audio = counting(3000);
  const auto segment = [&](const Bytes& tag) {
    Bytes b = tag;
    b.insert(b.end(), audio.begin(), audio.end());
    return b;
  };
  const Bytes cutTag = id3("Cut");
  const std::vector<Bytes> bodies = {
      segment(id3("One")),
      segment(id3("One")),
      segment(id3("Two")),
      audio,                                    // no tag: nothing to say
      segment(id3("Big", 300 * 1024)),          // too big to read whole: passed through unread
      Bytes(cutTag.begin(), cutTag.end() - 2),  // ends inside its tag
      segment(id3("One"))};
  for (const Bytes& body : bodies) {
    // One byte per read: the tag is assembled across reads.
    h.next.push_back(std::make_shared<FakeRequest>(body, 1));
    Bytes got;
    ASSERT_EQ(h.readAll("http://h/seg.aac", got), 0);
    EXPECT_EQ(got, body);  // the tag reaches the demuxer too
  }
  EXPECT_EQ(h.titles, (std::vector<std::string>{"One", "Two", "One"}));
}

TEST(HlsRequests, TimedMetadataPacketsReportTheirTitleOnChange) {
  Harness h;
  const Bytes one = id3("One");
  const Bytes cut(one.begin() + 5, one.end());  // as FFmpeg 5.1's MPEG-TS demuxer hands it out
  const Bytes two = id3("Two");
  for (const Bytes* data : {&one, &cut, &two, &two}) {
    AVPacket* pkt = av_packet_alloc();
    ASSERT_EQ(av_new_packet(pkt, static_cast<int>(data->size())), 0);
    std::memcpy(pkt->data, data->data(), data->size());
    EXPECT_TRUE(h.requests().timedMetadata(*pkt).has_value());
    av_packet_free(&pkt);
  }
  AVPacket* empty = av_packet_alloc();
  EXPECT_FALSE(h.requests().timedMetadata(*empty).has_value());
  av_packet_free(&empty);
  EXPECT_EQ(h.titles, (std::vector<std::string>{"One", "Two"}));
}

std::string location(AVIOContext* pb) {
  std::uint8_t* value = nullptr;
  if (av_opt_get(pb, "location", AV_OPT_SEARCH_CHILDREN, &value) < 0) return "(none)";
  std::string out(reinterpret_cast<const char*>(value));
  av_free(value);
  return out;
}

TEST(HlsRequests, AnOpenRequestTellsWhereItsAnswerCameFrom) {
  Harness h;
  h.next.push_back(std::make_shared<FakeRequest>(counting(10), 10, FakeRequest::Mode::Serve, 200,
                                                 "http://edge/deep/v.m3u8"));
  h.next.push_back(std::make_shared<FakeRequest>(counting(10), 10));
  for (const char* expected : {"http://edge/deep/v.m3u8", "http://a/plain.m3u8"}) {
    AVIOContext* pb = nullptr;
    AVDictionary* opts = nullptr;
    const std::string url =
        std::string(expected).starts_with("http://edge") ? "http://a/v.m3u8" : expected;
    ASSERT_EQ(h.ctx()->io_open(h.ctx(), &pb, url.c_str(), AVIO_FLAG_READ, &opts), 0);
    EXPECT_EQ(location(pb), expected);
    // Options FFmpeg asks for and we do not have are simply not there.
    std::uint8_t* cookies = nullptr;
    EXPECT_LT(av_opt_get(pb, "cookies", AV_OPT_SEARCH_CHILDREN, &cookies), 0);
    h.ctx()->io_close2(h.ctx(), pb);
  }
}

// FFmpeg's HLS demuxer over fake streams: a master playlist whose variant playlist is
// redirected to another server and directory, with relative segment addresses.
TEST(HlsRequests, SegmentsOfARedirectedPlaylistAreFetchedWhereItCameFrom) {
  std::ifstream in(std::string(RL_HLS_MEDIA_DIR) + "/tone.aac", std::ios::binary);
  const Bytes aac((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(aac.size(), 1000u);
  const std::string variant =
      "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\nseg0.aac\n#EXTINF:1,\nseg1.aac\n"
      "#EXT-X-ENDLIST\n";
  std::vector<std::string> opened;
  HlsRequests requests(
      [&](const std::string& url,
          std::optional<net::ByteRange>) -> std::shared_ptr<net::HttpStream> {
        opened.push_back(url);
        if (url == "http://a/list/v.m3u8")
          return std::make_shared<FakeRequest>(Bytes(variant.begin(), variant.end()), 64,
                                               FakeRequest::Mode::Serve, 200,
                                               "http://edge/deep/v.m3u8");
        if (url.starts_with("http://edge/deep/seg"))
          return std::make_shared<FakeRequest>(aac, 4096);
        return std::make_shared<FakeRequest>(Bytes{}, 1, FakeRequest::Mode::Fail, 404);
      },
      {}, {});

  std::string master = "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=96000\nv.m3u8\n";
  struct Reader {
    std::string& text;
    std::size_t at = 0;
    static int read(void* opaque, std::uint8_t* buf, int size) {
      auto& r = *static_cast<Reader*>(opaque);
      const std::size_t n = std::min(static_cast<std::size_t>(size), r.text.size() - r.at);
      if (n == 0) return AVERROR_EOF;
      std::memcpy(buf, r.text.data() + r.at, n);
      r.at += n;
      return static_cast<int>(n);
    }
  } reader{master};
  auto* buffer = static_cast<unsigned char*>(av_malloc(4096));
  AVIOContext* pb = avio_alloc_context(buffer, 4096, 0, &reader, &Reader::read, nullptr, nullptr);
  AVFormatContext* ctx = avformat_alloc_context();
  ctx->pb = pb;
  ctx->flags |= AVFMT_FLAG_CUSTOM_IO;
  AVDictionary* options = nullptr;
  requests.attach(ctx, &options);
  const int r =
      avformat_open_input(&ctx, "http://a/list/master.m3u8", av_find_input_format("hls"), &options);
  av_dict_free(&options);
  ASSERT_EQ(r, 0);
  AVPacket* pkt = av_packet_alloc();
  int packets = 0;
  while (av_read_frame(ctx, pkt) >= 0) {
    ++packets;
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
  avformat_close_input(&ctx);
  av_freep(&pb->buffer);
  avio_context_free(&pb);
  // Both segments, each about a second of AAC (43 frames).
  EXPECT_GT(packets, 80);
  EXPECT_EQ(opened, (std::vector<std::string>{"http://a/list/v.m3u8", "http://edge/deep/seg0.aac",
                                              "http://edge/deep/seg1.aac"}));
}

}  // namespace
}  // namespace radiolist::hls
