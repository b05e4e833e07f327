#pragma once
// The stream's recent past, kept for "save the song on air": the last kKeepTime of one audio
// stream's packets as the demuxer gave them (no decoding, no re-encoding), costing at most
// kKeepBytes with their bookkeeping, with the point where the current title began. A save writes
// the current song from that point (or from the oldest packet kept) and goes on writing each new
// packet until the title changes, the codec changes, the source stops sounding or the file cannot
// be written; then the file is closed. A codec that is not saved keeps nothing.
//
// Threads: push(), titleIs() and stopSaving() come from the source's decoder thread; save() and
// takeFailure() from any thread. save() makes the file without the lock, then writes what is
// kept so far under it, so it may wait for the disk (not the window's thread); takeFailure()
// never waits for it.

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "playback/engine/ffmpeg_util.h"
#include "playback/song_save.h"
#include "playback/song_title.h"

namespace radiolist::audio {

// A file name for the song: its title's text ("Artist - Title") and ".ext", with what a file
// name cannot hold or should not show replaced by '_' ('/', control characters of C0 and C1, the
// bidirectional controls that would make "gnp.exe" read backwards, a leading '.'), cut to a sane
// length at a UTF-8 boundary; `n` > 1 adds " (n)" before the extension. `text` is UTF-8. Pure.
[[nodiscard]] std::string songFileName(std::string_view text, std::string_view extension,
                                       int n = 1);
// The names a song may take in one folder: " (2)" up to this.
inline constexpr int kMaxSongFileNumber = 999;

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

  // The stream's title now (empty while it has none): a new text begins a new song and ends a
  // save in progress. The file's name comes from the text, its tags from artist and title.
  void titleIs(const SongTitle& title);
  // A packet of the audio stream `stream` (whose parameters it was demuxed with); a stream with
  // other parameters than the last one starts the buffer afresh.
  void push(const AVPacket& packet, const AVStream& stream);
  // Ends a save in progress (the source no longer sounds, or stops).
  void stopSaving();

  // Starts saving the current song into a new file in `directory` (made if missing) and writes
  // what is kept of it; while the song is being saved already, answers that same file. `station`
  // goes into the file's comment. Never overwrites a file.
  SongSave save(const std::string& directory, const std::string& station);
  // The save that ended because its file could not be written, once; nothing otherwise.
  std::optional<SongSave> takeFailure();

  // What is kept costs this much (payload and bookkeeping). For tests and benches.
  [[nodiscard]] std::size_t bytes() const;
  [[nodiscard]] std::size_t packets() const;
  [[nodiscard]] bool saving() const;

 private:
  // What remuxing needs of a packet besides its bytes, which wait in data_ in the same order.
  struct Kept {
    std::uint64_t at = 0;  // where its bytes begin, counted from the first byte ever kept
    std::int64_t duration = 0;
    std::chrono::steady_clock::time_point when;
    std::uint32_t size = 0;
    int flags = 0;
  };
  class Writer;

  // A packet's share of the memory kept: its bytes, its index entry, and the heap headers of the
  // payload's 512-byte blocks.
  static std::size_t cost(std::size_t size) { return size + size / 32 + sizeof(Kept); }
  void trim(std::chrono::steady_clock::time_point now);
  void dropFront();
  void clear();
  // Writes the packets kept since written_; a write that fails ends the save.
  void writePending();

  mutable std::mutex mutex_;
  // Guarded by mutex_:
  std::deque<Kept> packets_;
  std::deque<std::uint8_t> data_;
  std::uint64_t dataFirst_ = 0;  // Kept::at of data_.front()
  std::uint64_t first_ = 0;      // sequence number of packets_.front()
  std::uint64_t songStart_ = 0;  // sequence number where the current title began
  std::size_t bytes_ = 0;
  SongTitle title_;
  std::string codec_;
  bool keep_ = false;          // the codec is one we save
  std::uint64_t streams_ = 0;  // counts the streams pushed, to tell one that began meanwhile
  AVRational timeBase_{1, 1};
  std::unique_ptr<AVCodecParameters, void (*)(AVCodecParameters*)> params_;
  std::unique_ptr<Writer> writer_;
  std::uint64_t written_ = 0;  // next sequence number the writer takes

  // Apart from mutex_, which a write to the disk holds: the window asks for a failure.
  std::mutex failureMutex_;
  std::optional<SongSave> failure_;  // guarded by failureMutex_
};

}  // namespace radiolist::audio
