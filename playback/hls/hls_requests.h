#pragma once
// HLS through our own transport: FFmpeg's HLS demuxer parses the playlists and demuxes the
// segments, but every request it makes (playlist reloads, variant playlists, segments, keys)
// is answered by a net::HttpStream from the caller's opener, never by FFmpeg's http protocol.
//
// How the demuxer (FFmpeg 5.1, libavformat/hls.c) gets its bytes:
//  - the FIRST playlist is read from the context's pb, which the caller supplies (custom IO,
//    holding the body already fetched and passed through guardPlaylist()); the url given to
//    avformat_open_input is the base for relative addresses and the address of later reloads, so
//    pass the effective URL;
//  - everything else goes through AVFormatContext::io_open / io_close2, which attach() routes
//    here. AES-128 segments arrive as "crypto+URL" with "key"/"iv" options and are decrypted
//    here; byte ranges arrive as "offset"/"end_offset" options and are asked for as HTTP ranges
//    (a server that sends the whole resource instead has the range cut out here). Every body
//    that is a playlist (variants, reloads) passes guardPlaylist() before the demuxer reads it.
//
// Usage, on the thread that will run the demuxer:
//   HlsRequests requests(open, stop, onTitle);      // must outlive the AVFormatContext
//   AVFormatContext* ctx = avformat_alloc_context();
//   ctx->pb = playlistIo; ctx->flags |= AVFMT_FLAG_CUSTOM_IO;
//   AVDictionary* options = nullptr;
//   requests.attach(ctx, &options);
//   avformat_open_input(&ctx, effectiveUrl, av_find_input_format("hls"), &options);
//   av_dict_free(&options);
//   // Before the first packet is read (avformat_find_stream_info reads packets): the demuxer
//   // drops a variant's playlist only at its first packet.
//   int audio = selectAudioVariant(ctx);
//   if (audio < 0 || ctx->streams[audio]->codecpar->sample_rate == 0) {
//     avformat_find_stream_info(ctx, nullptr);       // MPEG-TS: parameters come with packets
//     if (audio < 0) audio = selectAudioVariant(ctx);
//   }
//   ... av_read_frame(); for packets of an AV_CODEC_ID_TIMED_ID3 stream call
//   requests.timedMetadata(packet) (MPEG-TS segments carry their titles that way) ...
//   avformat_close_input(&ctx);                      // closes what io_open opened
//
// Threads: io_open, io_close2, timedMetadata and onTitle all run on the demuxer's thread
// (checked where a title is taken).
// requestCount() may be read from any thread.

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

#include "playback/log/thread_check.h"
#include "playback/net/http_stream.h"
#include "playback/song_title.h"

extern "C" {
struct AVFormatContext;
struct AVDictionary;
struct AVPacket;
}

namespace radiolist::hls {

// Starts one request, for part of the resource when `range` is set. A failed request is a
// stream that ends Failed; nullptr means no more requests are allowed.
using StreamOpener = std::function<std::shared_ptr<net::HttpStream>(
    const std::string& url, std::optional<net::ByteRange> range)>;

class HlsRequests {
 public:
  // `onTitle` gets the song each time the title from the segments' ID3 tags changes. `stop` ends
  // every blocking read promptly (with AVERROR_EXIT).
  HlsRequests(StreamOpener open, std::stop_token stop, std::function<void(SongTitle)> onTitle);
  ~HlsRequests();
  HlsRequests(const HlsRequests&) = delete;
  HlsRequests& operator=(const HlsRequests&) = delete;

  // Before avformat_open_input: routes ctx's io_open/io_close2 here (ctx->opaque then points
  // here: leave it alone), sets the interrupt callback to `stop` unless the caller has set one,
  // and adds the demuxer options this transport needs (no persistent or parallel HTTP, no FFmpeg
  // protocol allowed at all, no check of segment name extensions).
  void attach(AVFormatContext* ctx, AVDictionary** options);

  // A packet of a stream with codec AV_CODEC_ID_TIMED_ID3: reports its title through onTitle
  // when it changed. Returns the title the packet carries, if any.
  std::optional<SongTitle> timedMetadata(const AVPacket& packet);

  // Requests opened so far (each one an HttpStream from the opener).
  [[nodiscard]] std::size_t requestCount() const { return requests_.load(); }

  // FFmpeg's callbacks (a nested class may use the members below).
  struct Callbacks;

 private:
  struct Request;  // one open resource of the demuxer

  StreamOpener open_;
  std::stop_token stop_;
  std::function<void(SongTitle)> onTitle_;
  std::optional<SongTitle> lastTitle_;  // demuxer thread only
  std::atomic<std::size_t> requests_{0};
  log::ThreadCheck demuxerThread_;

  void reportTitle(const SongTitle& title);
};

// Of a master playlist's variants, plays the audio of the one with the highest bandwidth (ties:
// the first): every other stream is discarded, except the timed-metadata streams of the same
// media playlist, so the demuxer stops fetching the other variants' segments. Returns the
// audio stream's index, or a negative AVERROR when there is no audio stream.
int selectAudioVariant(AVFormatContext* ctx);

}  // namespace radiolist::hls
