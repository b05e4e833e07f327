#pragma once
// The stream's recent past, kept to save the song on air and to play the past again: the last
// kKeepTime of the audio stream's packets as the demuxer gave them (no decoding, no re-encoding),
// costing at most kKeepBytes with their bookkeeping, with the points where each title began.
// A stream with other parameters (another codec, another Ogg link) begins a new segment, whose
// parameters its packets are decoded and saved with.
//
// The packets are laid on a media clock: microseconds of audio since the first packet this
// buffer ever kept, each packet lasting what it says (or its codec's frame). Replaying reads a
// packet by its sequence number; a title is looked up by the moment it covers.
//
// A save writes the current song from where its title began (or from the oldest packet kept) and
// goes on writing each new packet until the title changes, the stream changes, the source stops
// sounding or the file cannot be written; then the file is closed. A song of the past (one heard
// behind live, whose title has already changed) is written whole at once. Only the codecs of
// songExtension() are saved; every codec is kept for replaying.
//
// Threads: push(), titleIs() and stopSaving() come from the source's decoder thread; save() and
// takeFailure() from any thread. save() makes the file without the lock, then writes what is
// kept so far under it, so it may wait for the disk (not the window's thread); takeFailure()
// never waits for it. The readers of the past (packet(), seqAt(), titleAt(), the clock) take the
// lock briefly and never wait for the disk: a past song is copied out and written without it.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <stop_token>

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

  // The stream's title now (empty while it has none) and the tag it came in (an ICY block, kept to
  // be shown again as it was): a new text begins a new song and ends a save in progress. The
  // file's name comes from the text, its tags from artist and title.
  void titleIs(const SongTitle& title, std::string_view meta = {});
  // A packet of the audio stream `stream` (whose parameters it was demuxed with); a stream with
  // other parameters than the last one begins a new segment. Its sequence number and where it
  // ends on the media clock, or nothing when it was not kept (empty, or too large to be audio).
  struct Pushed {
    std::uint64_t seq = 0;
    std::int64_t endUs = 0;
  };
  std::optional<Pushed> push(const AVPacket& packet, const AVStream& stream);
  // Ends a save in progress (the source no longer sounds, or stops).
  void stopSaving();

  // Starts saving the current song into a new file in `directory` (made if missing) and writes
  // what is kept of it; while the song is being saved already, answers that same file. `station`
  // goes into the file's comment. Never overwrites a file. With `heardUs`, the song heard at that
  // moment of the media clock instead: a past one is written whole (a second request for it
  // answers the same file).
  SongSave save(const std::string& directory, const std::string& station,
                std::optional<std::int64_t> heardUs = std::nullopt);
  // The save that ended because its file could not be written, once; nothing otherwise.
  std::optional<SongSave> takeFailure();

  // A kept packet to decode again, with the parameters of its segment.
  struct Replay {
    PacketPtr packet;
    std::shared_ptr<const AVCodecParameters> params;
    AVRational timeBase{1, 1};
    std::uint64_t seq = 0;
    std::uint64_t segment = 0;  // changes where the parameters change
    std::int64_t startUs = 0;
    std::int64_t endUs = 0;
  };
  // The packet `seq`, or the oldest kept when `seq` has been dropped; nothing when `seq` is not
  // kept yet (or nothing is kept at all).
  [[nodiscard]] std::optional<Replay> packet(std::uint64_t seq) const;
  // The packet sounding at `us` on the media clock (the oldest before it, the next to come past
  // the newest).
  [[nodiscard]] std::uint64_t seqAt(std::int64_t us) const;
  // The sequence number the next packet will have.
  [[nodiscard]] std::uint64_t nextSeq() const;
  // The media clock: where the oldest packet kept begins and where the newest ends (equal when
  // nothing is kept).
  [[nodiscard]] std::int64_t oldestUs() const;
  [[nodiscard]] std::int64_t liveUs() const;
  // The title heard at `us` and the tag it came in; nothing when no title was ever given.
  struct Heard {
    SongTitle title;
    std::string meta;
  };
  [[nodiscard]] std::optional<Heard> titleAt(std::int64_t us) const;
  // Waits until packet `seq` is kept, `stop` is requested or `timeout` passes; true when kept.
  bool waitFor(std::uint64_t seq, const std::stop_token& stop,
               std::chrono::milliseconds timeout) const;

  // What is kept costs this much (payload and bookkeeping). For tests and benches.
  [[nodiscard]] std::size_t bytes() const;
  [[nodiscard]] std::size_t packets() const;
  [[nodiscard]] bool saving() const;

 private:
  // What remuxing needs of a packet besides its bytes, which wait in data_ in the same order.
  struct Kept {
    std::uint64_t at = 0;  // where its bytes begin, counted from the first byte ever kept
    std::int64_t duration = 0;
    std::int64_t startUs = 0;  // on the media clock
    std::chrono::steady_clock::time_point when;
    std::uint32_t size = 0;
    int flags = 0;
  };
  // Where a stream's parameters begin.
  struct Segment {
    std::uint64_t first = 0;  // sequence number of its first packet
    std::uint64_t id = 0;
    std::shared_ptr<const AVCodecParameters> params;
    AVRational timeBase{1, 1};
    std::string codec;
  };
  // Where a title begins.
  struct Mark {
    std::uint64_t seq = 0;
    std::int64_t us = 0;
    SongTitle title;
    std::string meta;
  };
  class Writer;

  // A packet's share of the memory kept: its bytes, its index entry, and what the two deques'
  // 512-byte blocks waste and their heap headers take.
  static std::size_t cost(std::size_t size) {
    return size + size / 32 + sizeof(Kept) + sizeof(Kept) / 4;
  }
  static std::size_t cost(const Mark& mark) {
    return sizeof(Mark) + mark.title.artist.size() + mark.title.title.size() +
           mark.title.text.size() + mark.meta.size();
  }
  // A segment's share: its entry, its copy of the parameters with their extradata (a Vorbis
  // link's headers, its comments included), and the heap blocks and control block they take. A
  // chained Ogg stream of short links makes one per link.
  static std::size_t cost(const Segment& segment) {
    constexpr std::size_t kHeapBlocks = 4 * 32;
    return sizeof(Segment) + sizeof(AVCodecParameters) + kHeapBlocks + segment.codec.size() +
           static_cast<std::size_t>(segment.params->extradata_size) + AV_INPUT_BUFFER_PADDING_SIZE;
  }
  void trim(std::chrono::steady_clock::time_point now);
  void dropFront();
  // Writes the packets kept since written_; a write that fails ends the save.
  void writePending();
  // Needs mutex_: the segment holding `seq` (which must be kept), the mark covering `us`.
  [[nodiscard]] const Segment& segmentOf(std::uint64_t seq) const;
  [[nodiscard]] std::size_t markAt(std::int64_t us) const;
  [[nodiscard]] std::uint64_t seqAtLocked(std::int64_t us) const;
  // Makes the song's file and opens it for `params`: the writer, or nothing and why not.
  static std::pair<std::unique_ptr<Writer>, SongSave> makeFile(
      const std::string& directory, const std::string& extension, const AVCodecParameters& params,
      AVRational timeBase, const SongTitle& title, const std::string& station);
  SongSave savePast(const std::string& directory, const std::string& station,
                    std::unique_lock<std::mutex>& lock, std::size_t mark);

  mutable std::mutex mutex_;
  // Guarded by mutex_:
  std::deque<Kept> packets_;
  std::deque<std::uint8_t> data_;
  std::uint64_t dataFirst_ = 0;  // Kept::at of data_.front()
  std::uint64_t first_ = 0;      // sequence number of packets_.front()
  std::uint64_t songStart_ = 0;  // sequence number where the current title began
  std::size_t bytes_ = 0;
  SongTitle title_;
  std::deque<Segment> segments_;  // the first may begin before the oldest packet kept; counted
  std::deque<Mark> marks_;        // likewise; only text changes make marks
  bool titled_ = false;           // a title with text has come
  std::int64_t liveUs_ = 0;       // where the newest packet ends on the media clock
  std::uint64_t streams_ = 0;     // counts the streams pushed, to tell one that began meanwhile
  std::unique_ptr<Writer> writer_;
  std::uint64_t written_ = 0;   // next sequence number the writer takes
  std::uint64_t pastMark_ = 0;  // the past song saved last (its mark's sequence number + 1)
  std::string pastPath_;        // ... and its file
  mutable std::condition_variable_any pushed_;

  // Apart from mutex_, which a write to the disk holds: the window asks for a failure.
  std::mutex failureMutex_;
  std::optional<SongSave> failure_;  // guarded by failureMutex_
};

}  // namespace radiolist::audio
