#include "playback/engine/decoder.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <span>
#include <vector>

#include "playback/engine/ffmpeg_util.h"
#include "playback/engine/frames.h"
#include "playback/engine/log_domains.h"
#include "playback/hls/hls_requests.h"
#include "playback/log/log.h"
#include "playback/log/timeline.h"

namespace radiolist::audio {

namespace {

constexpr int kIoBufferBytes = 4096;
// A connection's first audio, up to this much, wakes the output at each write.
constexpr std::size_t kWakeOutputFrames = kOutputRate / 4;
// Probe rounds: most streams are recognised in the first; the later ones only wait for data
// when neither the bytes nor the content type are clear.
constexpr std::array<std::size_t, 3> kProbeBytes{2048, 8192, 32768};

int readPacket(void* opaque, std::uint8_t* buf, int size) {
  Feed& feed = *static_cast<Feed*>(opaque);
  const std::size_t n = feed.read(buf, static_cast<std::size_t>(size));
  if (n == 0) return feed.stopRequested() ? AVERROR_EXIT : AVERROR_EOF;
  return static_cast<int>(n);
}

int interrupted(void* opaque) { return static_cast<Feed*>(opaque)->stopRequested() ? 1 : 0; }

const AVInputFormat* probeFormat(Feed& feed, std::string_view contentType) {
  for (std::size_t round = 0; round < kProbeBytes.size(); ++round) {
    const bool more = feed.peek(kProbeBytes[round]) >= kProbeBytes[round];
    const bool last = !more || round + 1 == kProbeBytes.size();
    const auto prefix = feed.ahead();
    if (prefix.empty()) return nullptr;
    if (const AVInputFormat* format = probeAllowedFormat(prefix, contentType, last)) return format;
    if (last) return nullptr;
  }
  return nullptr;
}

// The generic demuxer reads the feed and nothing else: a body that names a file, an address or
// a port (a concat list, an SDP, a playlist) must not make FFmpeg open it.
int refuseNestedOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) {
  return AVERROR(EPERM);
}

// Paces packets that decode to nothing (damaged, or frames too short to hold audio) as if they
// had played: past kGrace of such packets in a row each waits out its duration. Audio waits on
// the ring as the mixer plays it; without this a station sending only junk would have the
// decoder read it as fast as the network brings it, at a full core, and the song buffer keep it.
class JunkPace {
 public:
  static constexpr std::chrono::milliseconds kGrace{1000};  // a decoder's start-up delay and more
  // Taken for a packet that does not say how long it lasts.
  static constexpr std::chrono::milliseconds kUnknownDuration{20};
  static constexpr std::chrono::milliseconds kLongest{500};

  // After each packet: whether it brought audio, and how long it says it lasts.
  void after(bool audio, std::chrono::nanoseconds duration, const std::stop_token& stop) {
    if (audio) {
      silent_ = {};
      return;
    }
    // A frame lasts milliseconds; a packet claiming more is lying.
    if (duration <= std::chrono::nanoseconds::zero() || duration > kLongest)
      duration = kUnknownDuration;
    silent_ += duration;
    if (silent_ <= kGrace) return;
    std::mutex mutex;
    std::condition_variable_any woken;
    std::unique_lock lock(mutex);
    woken.wait_for(lock, stop, duration, [] { return false; });
  }

 private:
  std::chrono::nanoseconds silent_{};
};

// One demuxer and decoder over the feed, from where it stands until the body (or the Ogg link)
// ends. The first session of a connection reports what it found in `summary`.
struct Session {
  Feed& feed;
  Voice& voice;
  const std::stop_token& stop;
  Resampler& resampler;
  FadeIn& fade;
  const DecodeHooks& hooks;
  DecodeSummary& summary;

  // False when nothing could be opened (the summary then says why).
  bool run(const AVInputFormat* format) {
    IoContextPtr io = openIo();
    if (!io) return false;
    // HLS: the requests outlive the demuxer, which closes what it opened through them.
    std::optional<hls::HlsRequests> requests;
    const FormatPtr demuxer = openDemuxer(format, *io, requests);
    if (!demuxer) return false;
    hls::HlsRequests* const hls = requests ? &*requests : nullptr;
    int index = -1;
    const CodecContextPtr decoder = openDecoder(*demuxer, hls, index);
    if (!decoder) return false;
    log::timeline::mark(log::timeline::Stage::Probed, voice.recording);
    if (summary.codec.empty()) {
      summary.codec = avcodec_get_name(decoder->codec_id);
      summary.family = classifyFamily(summary.container, summary.codec);
      log::write(audio::kDecodeLog, "family ", familyName(summary.family));
      if (summary.family == Family::Unplayable) return true;
      // The first decision stands for the voice: a reconnect or a new Ogg link that changes the
      // codec keeps playing through the same channel.
      Family undecided = Family::Undecided;
      voice.family.compare_exchange_strong(undecided, summary.family, std::memory_order_acq_rel);
    }
    return pump(*demuxer, *decoder, index, hls);
  }

  // The demuxer's byte source: the feed.
  IoContextPtr openIo() {
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferBytes));
    if (buffer == nullptr) return nullptr;
    IoContextPtr io(
        avio_alloc_context(buffer, kIoBufferBytes, 0, &feed, readPacket, nullptr, nullptr));
    if (!io) av_free(buffer);
    return io;
  }

  // Opens the demuxer over `io`: of `format` and the allowed audio containers only, with no
  // protocol and no nested open of its own; for HLS, with every further request made through
  // `requests` (emplaced here).
  FormatPtr openDemuxer(const AVInputFormat* format, AVIOContext& io,
                        std::optional<hls::HlsRequests>& requests) {
    AVFormatContext* rawFormat = avformat_alloc_context();
    if (rawFormat == nullptr) return nullptr;
    rawFormat->pb = &io;
    rawFormat->flags |= AVFMT_FLAG_CUSTOM_IO;
    rawFormat->interrupt_callback = {interrupted, &feed};
    rawFormat->probesize = 32768;
    rawFormat->max_analyze_duration = 500000;  // microseconds
    AVDictionary* options = nullptr;
    if (!hooks.hlsUrl.empty()) {
      requests.emplace(
          hooks.openRequest, stop, hooks.onTitle ? hooks.onTitle : [](SongTitle) {});
      requests->attach(rawFormat, &options);
      // Segments are read by the audio demuxers a body may use, and by nothing else (FFmpeg
      // hands this list down to each segment's demuxer).
      av_dict_set(&options, "format_whitelist", (std::string("hls,") + kAllowedDemuxers).c_str(),
                  0);
    } else {
      rawFormat->io_open = refuseNestedOpen;
      av_dict_set(&options, "format_whitelist", kAllowedDemuxers, 0);
      // A name that matches no protocol: nothing may bypass io_open either.
      av_dict_set(&options, "protocol_whitelist", "radiolist-no-protocol", 0);
    }
    // On failure avformat_open_input frees the context itself.
    const int opened = avformat_open_input(&rawFormat, hooks.hlsUrl.c_str(), format, &options);
    av_dict_free(&options);
    if (checked(opened, "avformat_open_input") < 0) return nullptr;
    return FormatPtr(rawFormat);
  }

  // Chooses the audio stream (`index`) and opens its decoder. No stream-info pass when the
  // headers already name the codec: on a live stream it would read (and wait for) seconds of
  // audio before the first sound. Of an HLS master playlist one variant is chosen before any
  // packet is read, so the others are never fetched.
  CodecContextPtr openDecoder(AVFormatContext& demuxer, hls::HlsRequests* hls, int& index) {
    const auto choose = [&] {
      return hls != nullptr ? hls::selectAudioVariant(&demuxer)
                            : av_find_best_stream(&demuxer, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    };
    index = choose();
    if (hls != nullptr && index >= 0 && demuxer.streams[index]->codecpar->sample_rate == 0) {
      // MPEG-TS segments name their parameters only in packets.
      if (checked(avformat_find_stream_info(&demuxer, nullptr), "avformat_find_stream_info") < 0)
        return nullptr;
    } else if (index < 0 || demuxer.streams[index]->codecpar->codec_id == AV_CODEC_ID_NONE) {
      if (checked(avformat_find_stream_info(&demuxer, nullptr), "avformat_find_stream_info") < 0)
        return nullptr;
      index = choose();
    }
    if (index < 0) return nullptr;
    const AVCodecParameters* params = demuxer.streams[index]->codecpar;
    CodecContextPtr decoder = audio::openDecoder(*params);
    if (!decoder) return nullptr;
    log::write(audio::kDecodeLog, "demuxer ", summary.container, ", codec ",
               avcodec_get_name(params->codec_id), ", ", params->sample_rate, " Hz, ",
               params->ch_layout.nb_channels, " channels");
    return decoder;
  }

  // Reads packets of stream `index` into the decoder and its frames into the ring, until the
  // body or Ogg link ends, a stop comes, or the data stays undecodable.
  bool pump(AVFormatContext& demuxer, AVCodecContext& decoder, int index, hls::HlsRequests* hls) {
    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    if (!packet || !frame) return false;
    int readErrors = 0;
    JunkPace pace;
    const AVRational timeBase = demuxer.streams[index]->time_base;
    while (!stop.stop_requested()) {
      int r = av_read_frame(&demuxer, packet.get());
      if (r == AVERROR(EAGAIN)) continue;
      if (r < 0) {
        if (r == AVERROR_EOF || r == AVERROR_EXIT || feed.ended() || feed.atLinkBoundary()) break;
        // The demuxer skips what it cannot parse; give up only on a run of failures.
        if (readErrors++ == 0) checked(r, "av_read_frame");
        if (readErrors > 100) break;
        continue;
      }
      readErrors = 0;
      using Route = DecodeHooks::Route;
      const Route route = packet->stream_index == index && hooks.onPacket
                              ? hooks.onPacket(*packet, *demuxer.streams[index])
                              : Route::Decode;
      if (route == Route::Skip && packet->stream_index == index) {
        av_packet_unref(packet.get());
        // Played elsewhere: for the connection it is audio that arrived.
        if (summary.framesOut == 0 && hooks.onAudio) hooks.onAudio();
        ++summary.framesOut;
        continue;
      }
      if (route == Route::DecodeAfterGap) {
        avcodec_flush_buffers(&decoder);
        resampler.reset();
        if (hooks.prime) prime(decoder, hooks.prime(), *frame);
      }
      if (packet->stream_index != index) {
        // MPEG-TS segments of HLS carry their titles as ID3 packets of a data stream.
        if (hls != nullptr &&
            demuxer.streams[packet->stream_index]->codecpar->codec_id == AV_CODEC_ID_TIMED_ID3)
          hls->timedMetadata(*packet);
        av_packet_unref(packet.get());
        continue;
      }
      const std::chrono::nanoseconds duration(
          packet->duration > 0 ? av_rescale_q(packet->duration, timeBase, {1, 1000000000}) : 0);
      const std::size_t framesBefore = summary.framesOut;
      r = avcodec_send_packet(&decoder, packet.get());
      av_packet_unref(packet.get());
      bool whole = true;
      if (r < 0 && r != AVERROR(EAGAIN)) {
        // Damaged data: the decoder finds the next frame by itself.
        if (summary.badPackets++ == 0) checked(r, "avcodec_send_packet");
      } else {
        whole = drain(decoder, *frame);
        if (stop.stop_requested()) return true;
      }
      if (hooks.afterPacket) hooks.afterPacket(summary.framesOut - framesBefore, whole);
      pace.after(summary.framesOut != framesBefore, duration, stop);
    }
    // What the decoder still holds belongs to the end of this body or link.
    if (!stop.stop_requested() && avcodec_send_packet(&decoder, nullptr) >= 0)
      drain(decoder, *frame);
    return true;
  }

  // Moves every decoded frame into the ring; false when a stop or a diversion came while waiting
  // for room (the rest of the packet's sound is then dropped).
  bool drain(AVCodecContext& decoder, AVFrame& frame) {
    int r = 0;
    bool whole = true;
    while ((r = avcodec_receive_frame(&decoder, &frame)) >= 0) {
      if (!whole) {
        av_frame_unref(&frame);
        continue;
      }
      log::timeline::mark(log::timeline::Stage::Decoded, voice.recording);
      const auto converted = resampler.convert(frame);
      av_frame_unref(&frame);
      std::span<StereoFrame> frames(const_cast<StereoFrame*>(converted.data()), converted.size());
      fade.apply(frames);
      if (hooks.level != nullptr) {
        std::unique_lock<std::mutex> guard;
        if (hooks.levelGuard != nullptr) guard = std::unique_lock(*hooks.levelGuard);
        hooks.level->process(
            frames, hooks.levelOn == nullptr || hooks.levelOn->load(std::memory_order_relaxed));
      }
      const std::size_t written = writeAll(voice.ring, frames, stop, hooks.divert);
      if (written < frames.size()) {
        whole = false;
        frames = frames.first(written);
      }
      if (!frames.empty()) log::timeline::mark(log::timeline::Stage::Queued, voice.recording);
      if (summary.framesOut == 0 && !frames.empty() && hooks.onAudio) hooks.onAudio();
      // The output may start the first audio at once instead of at its next refill.
      if (summary.framesOut < kWakeOutputFrames && !frames.empty()) {
        if (Mixer* mixer = voice.mixer.load()) mixer->wake();
      }
      summary.framesOut += frames.size();
    }
    if (r != AVERROR(EAGAIN) && r != AVERROR_EOF && summary.badPackets++ == 0)
      checked(r, "avcodec_receive_frame");
    return whole;
  }
};

}  // namespace

DecodeSummary decodeConnection(Feed& feed, std::string_view contentType, Voice& voice,
                               std::stop_token stop, const DecodeHooks& hooks) {
  quietFfmpegLogUnlessDebugging();
  DecodeSummary summary;
  const AVInputFormat* format =
      hooks.hlsUrl.empty() ? probeFormat(feed, contentType) : av_find_input_format("hls");
  if (format == nullptr) {
    log::write(audio::kDecodeLog, "no allowed demuxer takes the body (content type \"", contentType,
               "\")");
    summary.family = Family::Unplayable;
    return summary;
  }
  summary.container = format->name;
  // A chained Ogg stream starts a new stream at each song: each link gets a demuxer of its own.
  if (summary.container == "ogg")
    feed.splitOggLinks(hooks.onTitle ? hooks.onTitle : [](SongTitle) {});

  Resampler resampler;
  FadeIn fade;
  if (hooks.fadeIn) fade.restart();
  Session session{feed, voice, stop, resampler, fade, hooks, summary};
  for (;;) {
    if (!session.run(format) || summary.codec.empty()) {
      if (summary.codec.empty()) summary.family = Family::Unplayable;
      return summary;
    }
    if (stop.stop_requested() || !feed.atLinkBoundary()) return summary;
    feed.nextLink();
  }
}

DecodeSummary decodeStream(net::HttpStream& stream, Voice& voice, std::stop_token stop) {
  Feed feed(stream, stop);
  // The content type is known once the head has arrived, which is before the first body byte.
  feed.peek(1);
  const auto head = stream.head();
  const DecodeSummary summary =
      decodeConnection(feed, head ? head->contentType : std::string(), voice, stop, {});
  if (summary.family == Family::Unplayable)
    voice.family.store(Family::Unplayable, std::memory_order_release);
  return summary;
}

}  // namespace radiolist::audio
