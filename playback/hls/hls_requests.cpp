#include "playback/hls/hls_requests.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "playback/hls/id3.h"
#include "playback/hls/playlist_guard.h"
#include "playback/net/response_head.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/aes.h>
#include <libavutil/dict.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
}

namespace radiolist::hls {

namespace {

constexpr int kIoBufferBytes = 16 * 1024;
// A tag at the head of a segment is read whole only up to this size; bigger ones (cover art)
// pass through unread.
constexpr std::size_t kMaxSniffedTag = 256 * 1024;
constexpr std::size_t kAesBlock = 16;

// Where the address of a request really is: "crypto+http://x" and "crypto:x" name an encrypted
// resource at "http://x" and "x".
std::string_view plainAddress(std::string_view url, bool& encrypted) {
  encrypted = false;
  for (std::string_view prefix : {std::string_view("crypto+"), std::string_view("crypto:")}) {
    if (url.substr(0, prefix.size()) == prefix) {
      encrypted = true;
      return url.substr(prefix.size());
    }
  }
  return url;
}

bool hexBytes(const char* text, std::array<std::uint8_t, kAesBlock>& out) {
  if (text == nullptr || std::strlen(text) != 2 * kAesBlock) return false;
  for (std::size_t i = 0; i < kAesBlock; ++i) {
    const char pair[3] = {text[2 * i], text[2 * i + 1], 0};
    char* end = nullptr;
    out[i] = static_cast<std::uint8_t>(std::strtoul(pair, &end, 16));
    if (end != pair + 2) return false;
  }
  return true;
}

std::int64_t optionInt(AVDictionary* options, const char* key, std::int64_t fallback) {
  const AVDictionaryEntry* e = av_dict_get(options, key, nullptr, 0);
  if (e == nullptr) return fallback;
  char* end = nullptr;
  const long long v = std::strtoll(e->value, &end, 10);
  return (end == e->value || v < 0) ? fallback : v;
}

int errorFor(const net::StreamStats& stats) {
  if (stats.httpStatus == 404) return AVERROR_HTTP_NOT_FOUND;
  if (stats.httpStatus == 403) return AVERROR_HTTP_FORBIDDEN;
  if (stats.httpStatus >= 400 && stats.httpStatus < 500) return AVERROR_HTTP_OTHER_4XX;
  if (stats.httpStatus >= 500) return AVERROR_HTTP_SERVER_ERROR;
  return AVERROR(EIO);
}

// What FFmpeg may ask of an open request through av_opt_get: "location", the address the
// answer really came from after redirects. The demuxer resolves a playlist's relative segment
// addresses against it, as it does with its own http protocol.
struct RequestInfo {
  const AVClass* avClass;  // must come first: FFmpeg finds the options through it
  char* location;          // av_strdup'd; never null while the request is open
};

const AVOption kRequestOptions[] = {
    {"location",
     "address of the answer after redirects",
     offsetof(RequestInfo, location),
     AV_OPT_TYPE_STRING,
     {.str = nullptr},
     0,
     0,
     AV_OPT_FLAG_DECODING_PARAM,
     nullptr},
    {nullptr, nullptr, 0, AV_OPT_TYPE_FLAGS, {.i64 = 0}, 0, 0, 0, nullptr},
};

AVClass makeClass(const char* name, const AVOption* options, void* (*childNext)(void*, void*),
                  const AVClass* (*childClassIterate)(void**)) {
  AVClass c{};
  c.class_name = name;
  c.item_name = av_default_item_name;
  c.option = options;
  c.version = LIBAVUTIL_VERSION_INT;
  c.child_next = childNext;
  c.child_class_iterate = childClassIterate;
  return c;
}

const AVClass kRequestClass = makeClass("HlsRequest", kRequestOptions, nullptr, nullptr);

}  // namespace

// One request of the demuxer: the body of one HttpStream, cut to the byte range asked for,
// decrypted when asked, with the ID3 tag at its head (if any) read on the way through.
struct HlsRequests::Request {
  RequestInfo info{&kRequestClass, nullptr};
  HlsRequests& owner;
  std::shared_ptr<net::HttpStream> stream;
  std::vector<std::uint8_t> early;  // body bytes read at open, given out before the rest
  std::size_t earlyRead = 0;
  std::uint64_t skip = 0;       // bytes before the wanted range still to drop
  std::uint64_t remaining = 0;  // bytes of the wanted range still to give; UINT64_MAX: all
  bool failedEarly = false;     // ended before its first byte without a 2xx answer

  // AES-128-CBC: whole blocks are decrypted; the last block loses its PKCS#7 padding, so one
  // decrypted block is always held back until the next arrives or the body ends.
  AVAES* aes = nullptr;
  std::array<std::uint8_t, kAesBlock> iv{};
  std::vector<std::uint8_t> cipher;  // received, not yet decrypted (less than a block, or one)
  std::vector<std::uint8_t> plain;   // decrypted, ready to give
  std::size_t plainRead = 0;
  bool bodyEnded = false;

  std::vector<std::uint8_t> head;  // the first bytes given out, while an ID3 tag may be there
  bool sniffing = true;

  Request(HlsRequests& o, std::shared_ptr<net::HttpStream> s) : owner(o), stream(std::move(s)) {}
  ~Request() {
    av_free(info.location);
    av_free(aes);
    if (stream) stream->cancel();
  }
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  // Raw body bytes: waits for at least one; 0 at the end, on failure or on a stop.
  std::size_t pull(std::uint8_t* dst, std::size_t size) {
    if (earlyRead < early.size()) {
      const std::size_t n = std::min(size, early.size() - earlyRead);
      std::memcpy(dst, early.data() + earlyRead, n);
      earlyRead += n;
      return n;
    }
    return pullStream(dst, size);
  }

  std::size_t pullStream(std::uint8_t* dst, std::size_t size) {
    return stream->readUntil(std::as_writable_bytes(std::span(dst, size)), owner.stop_).bytes;
  }

  // Waits for the answer: the first body bytes (kept in `early`), or the end of the stream.
  // The head always comes first, so it is known after this.
  void awaitAnswer() {
    std::array<std::uint8_t, 4096> piece;
    const std::size_t n = pullStream(piece.data(), piece.size());
    early.insert(early.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(n));
  }

  // Body bytes inside the wanted range.
  std::size_t pullRange(std::uint8_t* dst, std::size_t size) {
    while (skip > 0) {
      std::array<std::uint8_t, 4096> scratch;
      const std::size_t n = pull(scratch.data(), std::min<std::uint64_t>(skip, scratch.size()));
      if (n == 0) return 0;
      skip -= n;
    }
    if (remaining == 0) return 0;
    const std::size_t n = pull(dst, std::min<std::uint64_t>(size, remaining));
    if (remaining != UINT64_MAX) remaining -= n;
    return n;
  }

  std::size_t pullDecrypted(std::uint8_t* dst, std::size_t size) {
    while (plainRead == plain.size() || (!bodyEnded && plain.size() - plainRead <= kAesBlock)) {
      if (bodyEnded) return 0;
      // Keep the last decrypted block back until we know whether it is the final one.
      std::vector<std::uint8_t> keep(plain.begin() + static_cast<std::ptrdiff_t>(plainRead),
                                     plain.end());
      plain = std::move(keep);
      plainRead = 0;
      std::array<std::uint8_t, kIoBufferBytes> in;
      const std::size_t n = pullRange(in.data(), in.size());
      if (n == 0) {
        bodyEnded = true;
        // PKCS#7: the last byte says how many padding bytes end the body.
        if (!plain.empty() && cipher.empty()) {
          const std::size_t pad = plain.back();
          if (pad >= 1 && pad <= kAesBlock && pad <= plain.size()) plain.resize(plain.size() - pad);
        }
        continue;
      }
      cipher.insert(cipher.end(), in.begin(), in.begin() + static_cast<std::ptrdiff_t>(n));
      const std::size_t blocks = cipher.size() / kAesBlock;
      if (blocks == 0) continue;
      const std::size_t at = plain.size();
      plain.resize(at + blocks * kAesBlock);
      av_aes_crypt(aes, plain.data() + at, cipher.data(), static_cast<int>(blocks), iv.data(), 1);
      cipher.erase(cipher.begin(),
                   cipher.begin() + static_cast<std::ptrdiff_t>(blocks * kAesBlock));
    }
    std::size_t avail = plain.size() - plainRead;
    if (!bodyEnded) avail -= kAesBlock;
    const std::size_t n = std::min(size, avail);
    std::memcpy(dst, plain.data() + plainRead, n);
    plainRead += n;
    return n;
  }

  // Reads the title of a leading ID3 tag once the whole tag has gone by.
  void sniff(const std::uint8_t* data, std::size_t n) {
    const std::size_t want = std::min(n, kMaxSniffedTag + 1 - head.size());
    head.insert(head.end(), data, data + want);
    const auto bytes = std::as_bytes(std::span(head));
    if (head.size() < 10) return;
    const std::size_t tag = id3TagSize(bytes);
    if (tag == 0 || tag > kMaxSniffedTag) {
      stopSniffing();
      return;
    }
    if (head.size() < tag) return;
    if (auto title = songTitleFromId3(bytes.first(tag))) owner.reportTitle(*title);
    stopSniffing();
  }

  void stopSniffing() {
    sniffing = false;
    head.clear();
    head.shrink_to_fit();
  }

  // Reads the body's first bytes ahead (they are given out later all the same). A playlist is
  // read whole, up to the cap, and replaced by what guardPlaylist() leaves of it. False when
  // the playlist is refused.
  bool takeIfPlaylist(std::size_t baseUrlBytes) {
    std::array<std::uint8_t, kIoBufferBytes> piece;
    while (early.size() < 16) {
      const std::size_t n = pullStream(piece.data(), 16 - early.size());
      if (n == 0) break;
      early.insert(early.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(n));
    }
    const std::string_view first(reinterpret_cast<const char*>(early.data()), early.size());
    if (!looksLikeHlsPlaylist(first)) return true;
    while (early.size() <= kMaxPlaylistBytes) {
      const std::size_t n = pullStream(piece.data(), piece.size());
      if (n == 0) break;
      early.insert(early.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(n));
    }
    const std::string_view body(reinterpret_cast<const char*>(early.data()), early.size());
    auto kept = guardPlaylist(body, baseUrlBytes);
    if (!kept) return false;
    early.assign(kept->begin(), kept->end());
    return true;
  }

  int read(std::uint8_t* buf, int size) {
    const auto want = static_cast<std::size_t>(size);
    const std::size_t n = aes != nullptr ? pullDecrypted(buf, want) : pullRange(buf, want);
    if (n == 0) {
      if (owner.stop_.stop_requested()) return AVERROR_EXIT;
      if (stream->state() == net::StreamState::Failed) return errorFor(stream->stats());
      return AVERROR_EOF;
    }
    if (sniffing) sniff(buf, n);
    return static_cast<int>(n);
  }
};

struct HlsRequests::Callbacks {
  static int read(void* opaque, std::uint8_t* buf, int size) {
    return static_cast<Request*>(opaque)->read(buf, size);
  }

  // The AVIOContext's one child is its request's RequestInfo.
  static void* ioChild(void* obj, void* prev) {
    if (prev != nullptr) return nullptr;
    return &static_cast<Request*>(static_cast<AVIOContext*>(obj)->opaque)->info;
  }
  static const AVClass* ioChildClass(void** iter) {
    const AVClass* c = *iter != nullptr ? nullptr : &kRequestClass;
    *iter = const_cast<AVClass*>(c);
    return c;
  }
  static inline const AVClass ioClass = makeClass("HlsRequest IO", nullptr, ioChild, ioChildClass);

  static int interrupted(void* opaque) {
    return static_cast<HlsRequests*>(opaque)->stop_.stop_requested() ? 1 : 0;
  }

  static int open(AVFormatContext* ctx, AVIOContext** pb, const char* url, int flags,
                  AVDictionary** options) {
    auto& self = *static_cast<HlsRequests*>(ctx->opaque);
    *pb = nullptr;
    if ((flags & AVIO_FLAG_WRITE) != 0 || url == nullptr) return AVERROR(EPERM);
    if (self.stop_.stop_requested()) return AVERROR_EXIT;
    bool encrypted = false;
    const std::string address(plainAddress(url, encrypted));
    AVDictionary* opts = options != nullptr ? *options : nullptr;

    const std::int64_t offset = optionInt(opts, "offset", 0);
    const std::int64_t end = optionInt(opts, "end_offset", -1);
    std::optional<net::ByteRange> range;
    if (end > offset)
      range =
          net::ByteRange{static_cast<std::uint64_t>(offset), static_cast<std::uint64_t>(end - 1)};
    auto request = std::make_unique<Request>(self, self.open_(address, range));
    if (!request->stream) return AVERROR(EIO);
    self.requests_.fetch_add(1);
    request->skip = static_cast<std::uint64_t>(offset);
    request->remaining = range ? range->last + 1 - range->first : UINT64_MAX;
    if (encrypted) {
      std::array<std::uint8_t, kAesBlock> key{};
      const AVDictionaryEntry* keyHex = av_dict_get(opts, "key", nullptr, 0);
      const AVDictionaryEntry* ivHex = av_dict_get(opts, "iv", nullptr, 0);
      if (keyHex == nullptr || ivHex == nullptr || !hexBytes(keyHex->value, key) ||
          !hexBytes(ivHex->value, request->iv))
        return AVERROR(EINVAL);
      request->aes = av_aes_alloc();
      if (request->aes == nullptr || av_aes_init(request->aes, key.data(), 128, 1) < 0)
        return AVERROR(ENOMEM);
    }

    // Wait for the answer, so a missing resource fails here (the demuxer retries or skips a
    // segment that does not open, but takes a read error for the end of the stream).
    request->awaitAnswer();
    if (self.stop_.stop_requested()) return AVERROR_EXIT;
    const auto head = request->stream->head();
    if (request->stream->state() == net::StreamState::Failed && !head)
      return errorFor(request->stream->stats());
    // A 206 body begins where its Content-Range says; a 200 (a server that ignores ranges)
    // at byte 0, so the offset is skipped as it arrives.
    if (head && range && request->stream->stats().httpStatus == 206) {
      const std::uint64_t start =
          net::parseContentRangeStart(net::headerValue(head->lines, "content-range"))
              .value_or(range->first);
      if (start > range->first) return AVERROR(EIO);
      request->skip = range->first - start;
    }
    request->info.location =
        av_strdup(head && !head->effectiveUrl.empty() ? head->effectiveUrl.c_str() : url);
    if (request->info.location == nullptr) return AVERROR(ENOMEM);
    // Playlists (variants, reloads) are never ranged or encrypted.
    if (!range && offset == 0 && !encrypted &&
        !request->takeIfPlaylist(std::strlen(request->info.location)))
      return AVERROR_INVALIDDATA;

    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferBytes));
    if (buffer == nullptr) return AVERROR(ENOMEM);
    AVIOContext* io = avio_alloc_context(buffer, kIoBufferBytes, 0, request.get(), &Callbacks::read,
                                         nullptr, nullptr);
    if (io == nullptr) {
      av_free(buffer);
      return AVERROR(ENOMEM);
    }
    io->av_class = &ioClass;
    request.release();
    *pb = io;
    return 0;
  }

  static int close(AVFormatContext* /*ctx*/, AVIOContext* pb) {
    if (pb == nullptr) return 0;
    delete static_cast<Request*>(pb->opaque);
    av_freep(&pb->buffer);
    avio_context_free(&pb);
    return 0;
  }
};

HlsRequests::HlsRequests(StreamOpener open, std::stop_token stop,
                         std::function<void(SongTitle)> onTitle)
    : open_(std::move(open)), stop_(std::move(stop)), onTitle_(std::move(onTitle)) {}

HlsRequests::~HlsRequests() = default;

void HlsRequests::attach(AVFormatContext* ctx, AVDictionary** options) {
  ctx->opaque = this;
  ctx->io_open = &Callbacks::open;
  ctx->io_close2 = &Callbacks::close;
  if (ctx->interrupt_callback.callback == nullptr)
    ctx->interrupt_callback = {&Callbacks::interrupted, this};
  // Keep-alive and parallel requests reach into FFmpeg's http protocol object behind the
  // AVIOContext, which our requests do not have.
  av_dict_set(options, "http_persistent", "0", 0);
  av_dict_set(options, "http_multiple", "0", 0);
  av_dict_set(options, "http_seekable", "0", 0);
  // Segment addresses without a media extension are common on radio servers; the check guards
  // FFmpeg's own protocols against format confusion, and none of them is used here.
  av_dict_set(options, "extension_picky", "0", 0);
  // No protocol of FFmpeg's may open anything: a request that bypassed io_open would fail.
  av_dict_set(options, "protocol_whitelist", "radiolist-transport-only", 0);
}

std::optional<SongTitle> HlsRequests::timedMetadata(const AVPacket& packet) {
  demuxerThread_.check();
  if (packet.data == nullptr || packet.size <= 0) return std::nullopt;
  auto title = titleFromTimedId3(
      std::as_bytes(std::span(packet.data, static_cast<std::size_t>(packet.size))));
  if (title) reportTitle(*title);
  return title;
}

void HlsRequests::reportTitle(const SongTitle& title) {
  demuxerThread_.check();
  if (lastTitle_ == title) return;
  lastTitle_ = title;
  if (onTitle_) onTitle_(title);
}

int selectAudioVariant(AVFormatContext* ctx) {
  int best = -1;
  std::int64_t bestBandwidth = -1;
  for (unsigned i = 0; i < ctx->nb_streams; ++i) {
    const AVStream* st = ctx->streams[i];
    if (st->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) continue;
    // The demuxer names each stream's variant bandwidth; a stream in no variant has none.
    const AVDictionaryEntry* e = av_dict_get(st->metadata, "variant_bitrate", nullptr, 0);
    const std::int64_t bandwidth = e != nullptr ? std::strtoll(e->value, nullptr, 10) : 0;
    if (bandwidth > bestBandwidth) {
      best = static_cast<int>(i);
      bestBandwidth = bandwidth;
    }
  }
  if (best < 0) return AVERROR_STREAM_NOT_FOUND;
  // A stream's id is the index of the media playlist it comes from.
  const int playlist = ctx->streams[best]->id;
  for (unsigned i = 0; i < ctx->nb_streams; ++i) {
    AVStream* st = ctx->streams[i];
    const bool metadata = st->codecpar->codec_id == AV_CODEC_ID_TIMED_ID3 && st->id == playlist;
    st->discard = (static_cast<int>(i) == best || metadata) ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
  }
  return best;
}

}  // namespace radiolist::hls
