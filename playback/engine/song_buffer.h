#pragma once
// The stream's recent past, kept for "save the song on air": the last kKeepTime of one audio
// stream's packets as the demuxer gave them (no decoding, no re-encoding), at most kKeepBytes,
// with the point where the current title began. A save writes the current song from that point
// (or from the oldest packet kept) and goes on writing each new packet until the title changes,
// the codec changes or the source stops sounding; then the file is closed.
//
// Threads: push(), titleIs() and stopSaving() come from the source's decoder thread; save() from
// any thread (it only hands the file over: the decoder writes it). All under one mutex.

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "playback/engine/ffmpeg_util.h"

namespace radiolist::audio {

// "Artist - Title" cut at the first " - ": the artist and the title; a text without it is all
// title. Pure.
struct SongName {
  std::string artist;
  std::string title;
};
[[nodiscard]] SongName splitSongName(std::string_view streamTitle);

// A file name for the song: "Artist - Title.ext" with what a file name cannot hold ('/', control
// characters, a leading '.') replaced, cut to a sane length at a UTF-8 boundary; `n` > 1 adds
// " (n)" before the extension. Pure.
[[nodiscard]] std::string songFileName(std::string_view streamTitle, std::string_view extension,
                                       int n = 1);

// The container a codec is saved in: "mp3", "m4a", "ogg", or "" for a codec not saved.
[[nodiscard]] std::string_view songExtension(std::string_view codec);

class SongBuffer {
 public:
  static constexpr std::chrono::minutes kKeepTime{10};
  static constexpr std::size_t kKeepBytes = 24u << 20;

  SongBuffer();
  ~SongBuffer();
  SongBuffer(const SongBuffer&) = delete;
  SongBuffer& operator=(const SongBuffer&) = delete;

  // The title now on air (the stream's StreamTitle text): a change begins a new song and ends a
  // save in progress.
  void titleIs(std::string_view title);
  // A packet of the audio stream `stream` (whose parameters it was demuxed with); a stream with
  // other parameters than the last one starts the buffer afresh.
  void push(const AVPacket& packet, const AVStream& stream);
  // Ends a save in progress (the source no longer sounds, or stops).
  void stopSaving();

  // Starts saving the current song into a new file in `directory` (made if missing): returns its
  // path, or nothing when there is no song to save (no audio yet, or a codec not saved) or the
  // file cannot be made. `station` goes into the file's comment.
  std::optional<std::string> save(const std::string& directory, const std::string& station);
  // The bytes of packet data kept. For tests and benches.
  [[nodiscard]] std::size_t bytes() const;
  [[nodiscard]] bool saving() const;

 private:
  // A packet's bytes and what remuxing needs of it: about half the overhead of keeping a whole
  // AVPacket (its struct, buffer reference and padding) for each of some 40 packets a second.
  struct Kept {
    std::vector<std::uint8_t> data;
    std::int64_t duration = 0;
    int flags = 0;
    std::chrono::steady_clock::time_point when;
  };
  class Writer;

  void trim(std::chrono::steady_clock::time_point now);
  void writePending();

  mutable std::mutex mutex_;
  // Guarded by mutex_:
  std::deque<Kept> packets_;
  std::uint64_t first_ = 0;      // sequence number of packets_.front()
  std::uint64_t songStart_ = 0;  // sequence number where the current title began
  std::size_t bytes_ = 0;
  std::string title_;
  std::string codec_;
  AVRational timeBase_{1, 1};
  std::unique_ptr<AVCodecParameters, void (*)(AVCodecParameters*)> params_;
  std::unique_ptr<Writer> writer_;
  std::uint64_t written_ = 0;  // next sequence number the writer takes
};

}  // namespace radiolist::audio
