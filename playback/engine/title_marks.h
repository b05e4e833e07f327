#pragma once
// Where each title began in the packets kept: the title's text, its artist and title, and the tag
// it came in (an ICY block, shown again as it was), at a packet's sequence number and a moment of
// the media clock. Only text changes make marks. Owns the marks and the title now on air; a mark
// is dropped once the next one begins at or before the oldest packet kept.
//
// Threads: none of its own and no lock: SongBuffer holds it under its mutex, so change() comes
// from the source's decoder thread and the readers from whichever thread holds that lock.

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "playback/song_title.h"

namespace radiolist::audio {

class TitleMarks {
 public:
  struct Mark {
    std::uint64_t seq = 0;
    std::int64_t us = 0;
    SongTitle title;
    std::string meta;
  };

  // The title now, in tag `meta`, beginning at packet `next` (not kept yet) at `liveUs`; false
  // when its text is the one on air already (marks exist).
  bool change(const SongTitle& title, std::string_view meta, std::uint64_t next,
              std::int64_t liveUs);
  // Drops the marks no packet from `firstSeq` on lies under.
  void dropBefore(std::uint64_t firstSeq);

  [[nodiscard]] const SongTitle& current() const { return title_; }
  [[nodiscard]] bool empty() const { return marks_.empty(); }
  [[nodiscard]] std::size_t size() const { return marks_.size(); }
  [[nodiscard]] const Mark& operator[](std::size_t i) const { return marks_[i]; }
  // The index of the mark covering `us` (the first when none begins before it); marks exist.
  [[nodiscard]] std::size_t at(std::int64_t us) const;
  // What the marks cost, counted with the packets against the song buffer's bound.
  [[nodiscard]] std::size_t bytes() const { return bytes_; }

 private:
  static std::size_t cost(const Mark& mark) {
    return sizeof(Mark) + mark.title.artist.size() + mark.title.title.size() +
           mark.title.text.size() + mark.meta.size();
  }

  std::deque<Mark> marks_;  // the first may begin before the oldest packet kept
  SongTitle title_;
  bool titled_ = false;  // a title with text has come
  std::size_t bytes_ = 0;
};

}  // namespace radiolist::audio
