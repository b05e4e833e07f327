#pragma once
// Pausing live radio and going back in it: a source's voice is fed either by its live decoder
// (the source's decoder thread, which always goes on receiving and keeping packets in the song
// buffer) or by a replay of the kept packets, decoded again from any moment they cover (its own
// thread, made the first time it is needed). Never both: the ring has one producer at a time.
//
// - Pause silences the voice where it stands (its ring keeps the next second and a half) and the
//   replay takes over the ring at the live decoder's next packet boundary, carrying on exactly
//   where the live decoder stopped writing. Play lets the voice sound again at once.
// - A seek behind live has the replay take the ring, drop what the ring holds, and decode from
//   the packet sounding at that moment (a few packets before it primed, unheard), fading in.
// - Going live has the replay jump to as far behind the newest packet as live listening was when
//   it left (so the ring is as full as it was), catch up, and hand the ring back to the live
//   decoder exactly at a packet boundary; the live decoder primes itself on the packets before
//   it and carries on without a seam.
//
// Threads: the requests (setPaused, seek, goLive, state) come from any thread and never wait for
// either producer. livePacket/liveDone/prime come from the live decoder's thread. The ring's
// producer check is handed over with the ring: to the replay once the live decoder has stopped
// writing, back before the live decoder may write again.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
#include <vector>

#include "playback/engine/decoder.h"
#include "playback/engine/ffmpeg_util.h"
#include "playback/engine/loudness.h"
#include "playback/engine/mixer.h"
#include "playback/engine/song_buffer.h"
#include "playback/shift_state.h"

namespace radiolist::audio {

class TimeShift {
 public:
  // Packets decoded and dropped before the first one heard after a jump, so that a decoder that
  // needs what came before (MP3's reservoir, AAC's overlap) sounds right from the first.
  static constexpr std::uint64_t kPrimePackets = 4;
  // How far the packets taken while the live decoder does not play may run ahead of real time
  // (a station's burst, a backlog after a stall), and how much they may fall behind it and still
  // be made up at once.
  static constexpr std::chrono::seconds kPaceAllowance{8};

  TimeShift(SongBuffer& songs, Voice& voice, const std::atomic<bool>* levelOn);
  ~TimeShift();
  TimeShift(const TimeShift&) = delete;
  TimeShift& operator=(const TimeShift&) = delete;

  // Ends the replay's thread (which may be using the leveller); later requests do nothing.
  void stop();

  void setPaused(bool paused);
  // Moves what is heard to `us` on the stream's clock; at or past live (as ShiftState tells it),
  // goes live; before the oldest kept moment, goes there.
  void seek(std::int64_t us);
  void goLive();
  [[nodiscard]] ShiftState state() const;
  // What is heard behind live: the moment on the stream's clock; nothing while live.
  [[nodiscard]] std::optional<std::int64_t> heardBehind() const;

  // The live decoder's thread:
  // The leveller both producers use, each under `guard` (set once the decoder thread made it).
  void setLeveller(Leveller* leveller, std::mutex* guard);
  // Before decoding packet `pushed` (nothing: a packet the buffer did not keep). While another
  // producer has the ring, waits so that packets are taken no faster than they would play
  // (kPaceAllowance ahead at most): the rest waits in the byte ring and the socket, and the
  // transfer pauses. Woken by `stop` and by the ring coming back.
  DecodeHooks::Route livePacket(const std::optional<SongBuffer::Pushed>& pushed,
                                const std::stop_token& stop = {});
  // After it: `frames` of its sound reached the ring, `whole` when all did.
  void liveDone(std::size_t frames, bool whole);
  // The packets the live decoder is primed with after a gap.
  [[nodiscard]] std::vector<PacketPtr> livePrime();
  // Set while the live decoder must stop writing into the ring.
  [[nodiscard]] const std::atomic<bool>& divert() const { return divert_; }

  // How often the replay began to wait at the live edge for the next packet: only a packet or a
  // request ends such a wait. For tests.
  [[nodiscard]] std::uint64_t edgeWaits() const {
    return edgeWaits_.load(std::memory_order_relaxed);
  }

 private:
  enum class Owner { Live, Replay };
  enum class Want { None, Hold, Seek, Live };

  struct Replaying;

  void run(const std::stop_token& stop);
  // Plays kept packets from `seq` until the ring goes back to the live decoder (true) or a stop.
  bool replay(std::uint64_t seq, std::size_t skip, bool jump, const std::stop_token& stop);
  // The replay's thread, between packets: answers the request waiting; true when it handed the
  // ring back to the live decoder.
  bool takeRequest(Replaying& r);
  void startOver(Replaying& r);
  // The decoder for `packet`'s segment, opened (and primed) if it is another; false when it would
  // not open.
  bool decoderFor(Replaying& r, const SongBuffer::Replay& packet);
  // Decodes `packet` into the ring in the live decoder's place.
  void play(Replaying& r, const SongBuffer::Replay& packet, const std::stop_token& stop);
  // Needs mutex_: whether what is heard is (or is about to be) behind live.
  [[nodiscard]] bool behindLocked() const;
  // Needs mutex_: starts the replay thread if it is not there yet and asks it for `want`.
  void ask(Want want, std::int64_t us = 0);
  // What is heard on the stream's clock: where the ring's audio ends, less what waits in it.
  [[nodiscard]] std::int64_t heardUs() const;
  // Needs mutex_: how far behind the newest packet live listening is now.
  [[nodiscard]] std::int64_t liveLagLocked() const;
  // Needs mutex_: where live listening would be now had it not been left (never closer to the
  // newest packet than a cushion): what the delay is counted from.
  [[nodiscard]] std::int64_t livePointLocked() const;
  // The producer drops what it wrote so far from what will be heard, which goes on from packet
  // `seq`. Under mutex_ where a request is being answered, so that no one reads the old moment
  // as the new one's.
  void markJump(std::uint64_t seq);
  // Needs `lock` on mutex_: waits out the pace of a packet the live decoder does not play.
  void paceLocked(std::unique_lock<std::mutex>& lock,
                  const std::optional<SongBuffer::Pushed>& pushed, const std::stop_token& stop);
  std::vector<PacketPtr> primeBefore(std::uint64_t seq) const;

  SongBuffer& songs_;
  Voice& voice_;
  const std::atomic<bool>* const levelOn_;

  std::atomic<bool> divert_{false};     // the live decoder stops writing
  std::atomic<bool> interrupt_{false};  // the replay stops writing: a request waits
  std::atomic<bool> asked_{false};      // a request waits (any); set and cleared under mutex_
  std::atomic<std::uint64_t> edgeWaits_{0};
  std::atomic<std::int64_t> ringEndUs_{0};  // where the audio written into the ring ends

  mutable std::mutex mutex_;
  std::condition_variable_any wake_;
  // Guarded by mutex_:
  Owner owner_ = Owner::Live;
  Want want_ = Want::None;
  std::int64_t wantUs_ = 0;
  bool paused_ = false;
  bool catchingUp_ = false;  // the replay hands the ring back once it reaches live
  std::int64_t lagUs_ = 0;   // live listening's distance behind the newest packet
  // Where live listening was when it was left, and when: live goes on from there in real time.
  std::int64_t leftHeardUs_ = 0;
  std::chrono::steady_clock::time_point leftAt_;
  Leveller* leveller_ = nullptr;
  std::mutex* levelGuard_ = nullptr;
  bool liveBusy_ = false;                 // the live decoder is writing a packet
  std::optional<std::uint64_t> liveSeq_;  // ... this one
  std::int64_t liveEndUs_ = 0;            // ... ending there
  std::uint64_t liveNext_ = 0;  // the first packet whose sound the live decoder did not write
  std::size_t liveSkip_ = 0;    // ... and how much of it it did
  bool liveResumes_ = false;    // the live decoder has the ring again after a gap
  // The live decoder's pace while it does not play: the media it took since paceFrom_.
  std::chrono::steady_clock::time_point paceFrom_;
  std::int64_t paceUs_ = 0;
  std::int64_t paceEndUs_ = 0;  // where the last packet it took ends on the buffer's clock
  bool stopped_ = false;

  std::jthread thread_;  // last: made on the first request, stopped before the rest goes
};

}  // namespace radiolist::audio
