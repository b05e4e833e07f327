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
// Three parts under one lock: the packets and segments (PacketStore), the titles' marks
// (TitleMarks) and the live song's file (SongFile).
//
// Threads: push(), titleIs() and stopSaving() come from the source's decoder thread; save() and
// takeFailure() from any thread. save() makes the file without the lock, then writes what is
// kept so far under it, so it may wait for the disk (not the window's thread); takeFailure()
// never waits for it. The readers of the past (packet(), seqAt(), titleAt(), the clock) take the
// lock briefly and never wait for the disk: a past song is copied out and written without it.

#include <atomic>
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
#include "playback/engine/packet_store.h"
#include "playback/engine/song_file.h"
#include "playback/engine/title_marks.h"
#include "playback/song_save.h"
#include "playback/song_title.h"

namespace radiolist::audio {

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
  using Pushed = PacketStore::Pushed;
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
  using Replay = PacketStore::Replay;
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
  // Waits until packet `seq` is kept, `stop` is requested or `woken` is set; true when kept.
  // Whoever sets `woken` calls wakeWaiters() after it.
  bool waitFor(std::uint64_t seq, const std::stop_token& stop,
               const std::atomic<bool>& woken) const;
  void wakeWaiters() const;

  // What is kept costs this much (payload and bookkeeping). For tests and benches.
  [[nodiscard]] std::size_t bytes() const;
  [[nodiscard]] std::size_t packets() const;
  [[nodiscard]] bool saving() const;

 private:
  // Needs mutex_: the oldest packets may have gone; what refers to them moves on.
  void trimmed();
  // Needs mutex_: writes the packets kept since written_; a write that fails ends the save.
  void writePending();
  SongSave savePast(const std::string& directory, const std::string& station,
                    std::unique_lock<std::mutex>& lock, std::size_t mark);

  mutable std::mutex mutex_;
  // Guarded by mutex_:
  PacketStore store_;
  TitleMarks marks_;
  std::uint64_t songStart_ = 0;     // sequence number where the current title began
  std::unique_ptr<SongFile> file_;  // the live song being saved
  std::uint64_t written_ = 0;       // next sequence number the file takes
  std::uint64_t pastMark_ = 0;      // the past song saved last (its mark's sequence number + 1)
  std::string pastPath_;            // ... and its file
  mutable std::condition_variable_any pushed_;

  // Apart from mutex_, which a write to the disk holds: the window asks for a failure.
  std::mutex failureMutex_;
  std::optional<SongSave> failure_;  // guarded by failureMutex_
};

}  // namespace radiolist::audio
