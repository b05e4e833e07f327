#pragma once
// The steps every decoded frame takes on its way to a voice's ring, shared by the live decoder and
// the replay of kept packets: conversion to the output format, a fade-in after a splice, and the
// write into the ring.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <span>
#include <stop_token>
#include <vector>

#include "playback/engine/ffmpeg_util.h"
#include "playback/engine/mixer.h"

namespace radiolist::audio {

// Converts decoded frames to the output format; rebuilt whenever the input format changes
// (HE-AAC, for one, may switch its rate after the first frames).
class Resampler {
 public:
  ~Resampler() { av_channel_layout_uninit(&layout_); }

  // Frames converted from `frame` (valid until the next call), empty on failure.
  // Forgets what it holds of earlier frames (a jump in the stream).
  void reset() { swr_.reset(); }

  std::span<const StereoFrame> convert(const AVFrame& frame) {
    if (!matches(frame) && !rebuild(frame)) return {};
    const int capacity = swr_get_out_samples(swr_.get(), frame.nb_samples);
    if (capacity <= 0) return {};
    if (out_.size() < static_cast<std::size_t>(capacity))
      out_.resize(static_cast<std::size_t>(capacity));
    std::uint8_t* planes[1] = {reinterpret_cast<std::uint8_t*>(out_.data())};
    const int got = checked(
        swr_convert(swr_.get(), planes, capacity,
                    const_cast<const std::uint8_t**>(frame.extended_data), frame.nb_samples),
        "swr_convert");
    if (got <= 0) return {};
    return {out_.data(), static_cast<std::size_t>(got)};
  }

 private:
  [[nodiscard]] bool matches(const AVFrame& frame) const {
    return swr_ && frame.format == format_ && frame.sample_rate == rate_ &&
           av_channel_layout_compare(&frame.ch_layout, &layout_) == 0;
  }

  bool rebuild(const AVFrame& frame) {
    swr_.reset();
    av_channel_layout_uninit(&layout_);
    AVChannelLayout in{};
    if (frame.ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || frame.ch_layout.nb_channels == 0)
      av_channel_layout_default(&in, std::max(frame.ch_layout.nb_channels, 1));
    else if (av_channel_layout_copy(&in, &frame.ch_layout) < 0)
      return false;
    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    SwrContext* raw = nullptr;
    const int made =
        checked(swr_alloc_set_opts2(&raw, &stereo, AV_SAMPLE_FMT_FLT, static_cast<int>(kOutputRate),
                                    &in, static_cast<AVSampleFormat>(frame.format),
                                    frame.sample_rate, 0, nullptr),
                "swr_alloc_set_opts2");
    av_channel_layout_uninit(&in);
    ResamplerPtr swr(raw);
    if (made < 0 || checked(swr_init(swr.get()), "swr_init") < 0) return false;
    if (av_channel_layout_copy(&layout_, &frame.ch_layout) < 0) return false;
    swr_ = std::move(swr);
    format_ = frame.format;
    rate_ = frame.sample_rate;
    return true;
  }

  ResamplerPtr swr_;
  AVChannelLayout layout_{};
  int format_ = -1;
  int rate_ = 0;
  std::vector<StereoFrame> out_;
};

// Writes `frames` into the ring, waiting while it is full (woken by the mixer as it reads). Ends
// early when a stop is requested or `giveUp` is set (another producer takes the ring, or a
// request waits): then fewer frames than given are written. Returns how many were.
inline std::size_t writeAll(SpscRing<StereoFrame>& ring, std::span<const StereoFrame> frames,
                            const std::stop_token& stop,
                            const std::atomic<bool>* giveUp = nullptr) {
  const std::stop_callback wake(stop, [&ring] { ring.wakeProducer(); });
  std::size_t done = 0;
  while (done < frames.size()) {
    done += ring.write(frames.subspan(done));
    if (done == frames.size()) break;
    if (stop.stop_requested() || (giveUp != nullptr && giveUp->load(std::memory_order_acquire)))
      break;
    ring.waitForSpace();
  }
  return done;
}

// Multiplies the first frames of a session by a rising ramp, so that a splice into a stream joined
// at an arbitrary byte (a reconnect, a server's burst of old audio) cannot click louder than the
// music itself.
class FadeIn {
 public:
  static constexpr std::size_t kFrames = kOutputRate / 50;  // 20 ms

  void restart() { done_ = 0; }
  void apply(std::span<StereoFrame> frames) {
    for (StereoFrame& f : frames) {
      if (done_ >= kFrames) return;
      const float gain = static_cast<float>(done_++) / static_cast<float>(kFrames);
      f.left *= gain;
      f.right *= gain;
    }
  }

 private:
  std::size_t done_ = kFrames;
};

// A decoder for `params`, opened; nullptr when the codec has none or it would not open.
inline CodecContextPtr openDecoder(const AVCodecParameters& params) {
  const AVCodec* codec = avcodec_find_decoder(params.codec_id);
  if (codec == nullptr) return nullptr;
  CodecContextPtr decoder(avcodec_alloc_context3(codec));
  if (!decoder ||
      checked(avcodec_parameters_to_context(decoder.get(), &params),
              "avcodec_parameters_to_context") < 0 ||
      checked(avcodec_open2(decoder.get(), codec, nullptr), "avcodec_open2") < 0)
    return nullptr;
  return decoder;
}

// Feeds `decoder` the packets that came before the one it is to decode next and drops their
// sound: what a decoder started mid-stream needs (MP3's reservoir, AAC's overlap) to sound right
// from its first packet.
inline void prime(AVCodecContext& decoder, const std::vector<PacketPtr>& earlier, AVFrame& frame) {
  for (const PacketPtr& packet : earlier) {
    if (avcodec_send_packet(&decoder, packet.get()) < 0) continue;
    while (avcodec_receive_frame(&decoder, &frame) >= 0) av_frame_unref(&frame);
  }
}

}  // namespace radiolist::audio
