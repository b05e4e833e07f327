#pragma once
// One owner per FFmpeg object, and the one way FFmpeg results are checked.

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

namespace radiolist::audio {

struct FormatCloser {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct IoContextFree {
  void operator()(AVIOContext* io) const {
    av_freep(&io->buffer);
    avio_context_free(&io);
  }
};
struct CodecContextFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct ResamplerFree {
  void operator()(SwrContext* s) const { swr_free(&s); }
};

using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;
using IoContextPtr = std::unique_ptr<AVIOContext, IoContextFree>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using ResamplerPtr = std::unique_ptr<SwrContext, ResamplerFree>;

// Passes `result` through. A negative result is logged (decode) with the name of the call and
// av_strerror's text, except the ordinary end-of-data answers (AVERROR_EOF, AVERROR(EAGAIN)) and
// AVERROR_EXIT, which a stop request causes.
int checked(int result, const char* call);

// Whether FFmpeg's own log lines reach stderr: only with RADIOLIST_AUDIO_DEBUG set, since a
// damaged stream makes the decoders chatty and the program has no console worth filling.
void quietFfmpegLogUnlessDebugging();

}  // namespace radiolist::audio
