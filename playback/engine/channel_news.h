#pragma once
// What one source tells the channels on it, as events (EventQueue): the title heard, the
// station, where the listener stands in the kept past, the stream's activity, a save's end, and
// that the address looks gone for good.
// Sources do not know handles; the engine attaches each channel's handle to its source's news
// while the channel is created or plays, and detaches it when it stops or is freed, so a source
// with no channel (a hint, a warm or stopped one) tells nothing.
//
// Each change is read from the source under this object's mutex (through the reader given), so
// two threads telling at once cannot leave an older value waiting after a newer one. Lock order:
// the engine's mutex, then this one, then the source's own locks (which the reader takes); never
// call in here holding a lock of the source's. The posts wake the taker when the caller's Batch
// ends.

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "playback/bass.h"
#include "playback/engine/event_queue.h"
#include "playback/shift_state.h"
#include "playback/song_save.h"
#include "playback/song_title.h"

namespace radiolist::audio {

class ChannelNews {
 public:
  // What a reading asks for.
  enum What : unsigned { kTitle = 1, kStation = 2, kShift = 4, kAll = 7 };
  struct Now {
    std::optional<SongTitle> title;      // kTitle: heard now; nullopt while the station says none
    std::optional<std::string> station;  // kStation: icy-name ("" for none); nullopt before a head
    ShiftState shift;                    // kShift
  };
  using Reader = std::function<Now(unsigned what)>;

  ChannelNews(EventQueue* queue, Reader read) : queue_(queue), read_(std::move(read)) {}

  // The source goes: nothing is read or told after this returns (a network thread may still
  // hold this object). Waits for a telling under way.
  void close();

  // A channel joins: it is told at once what the source knows (title, station, shift).
  void attach(DWORD handle, EventQueue::Batch& batch);
  void detach(DWORD handle);
  void detachAll();
  // Tells the channels what changed of `what` since they were last told. `moved`: a pause, a
  // resume or a move of the listener, told even when the state reads the same.
  void tell(unsigned what, EventQueue::Batch& batch, bool moved = false);
  // The same with a batch of its own: for a caller that holds no lock.
  void tell(unsigned what, bool moved = false);
  // The stream began to sound, stalled, ended or failed.
  void activity();
  // A save ended because its file could not be written (told whether a channel listens or not).
  void saveEnded(SongSave save);
  // The address looks gone for good (GoneWatch): each channel on it is told once per reason, and
  // so is a channel attached while it still does.
  void gone(StreamGone why);
  // Audio came again: it no longer looks gone, and a later gone is told anew.
  void notGone();

  [[nodiscard]] EventQueue* queue() const { return queue_; }

 private:
  // Need mutex_: tells the channels what of `now` differs from what they were told.
  void applyLocked(Now now, unsigned what, bool moved, EventQueue::Batch& batch);
  void postLocked(PlaybackEvent::Kind kind, DWORD handle, EventQueue::Batch& batch);
  // Tells `handle` of gone_, unless it was told of it already.
  void tellGoneLocked(DWORD handle, EventQueue::Batch& batch);
  static bool shiftDiffers(const ShiftState& a, const ShiftState& b);

  EventQueue* const queue_;  // nullptr tells nobody
  std::mutex mutex_;
  // Guarded by mutex_:
  Reader read_;  // empty once closed
  std::vector<DWORD> handles_;
  // What the channels were told last.
  std::optional<SongTitle> title_;
  std::optional<std::string> station_;
  ShiftState shift_;
  std::optional<StreamGone> gone_;
  // Who was told which gone since the address last played: a few channels at a time (a pair per
  // creation), kept to kMaxToldGone, those no longer on it forgotten first.
  static constexpr std::size_t kMaxToldGone = 16;
  std::vector<std::pair<DWORD, StreamGone>> toldGone_;
};

}  // namespace radiolist::audio
