#include "playback/engine/title_marks.h"

#include <algorithm>
#include <iterator>

namespace radiolist::audio {

bool TitleMarks::change(const SongTitle& title, std::string_view meta, std::uint64_t next,
                        std::int64_t liveUs) {
  if (!marks_.empty() && title.text == title_.text) return false;
  title_ = title;
  // The station's first title was on air before its first tag arrived (an ICY block follows the
  // first metaint bytes): it covers what was kept before it, as live listening showed it.
  const bool first = !titled_ && !title.text.empty() && marks_.size() == 1;
  titled_ = titled_ || !title.text.empty();
  std::uint64_t seq = next;
  std::int64_t us = liveUs;
  // A title that changes again before any packet replaces the one not heard.
  if (!marks_.empty() && (marks_.back().seq == next || first)) {
    seq = std::min(seq, marks_.back().seq);
    us = std::min(us, marks_.back().us);
    bytes_ -= cost(marks_.back());
    marks_.pop_back();
  }
  // A hostile station's title is capped where it is parsed; the block as well, here.
  constexpr std::size_t kLongestMeta = 4096;
  marks_.push_back({seq, us, title, std::string(meta.substr(0, kLongestMeta))});
  bytes_ += cost(marks_.back());
  return true;
}

void TitleMarks::dropBefore(std::uint64_t firstSeq) {
  while (marks_.size() > 1 && marks_[1].seq <= firstSeq) {
    bytes_ -= cost(marks_.front());
    marks_.pop_front();
  }
}

std::size_t TitleMarks::at(std::int64_t us) const {
  // The last mark beginning at or before `us`; a mark at the same moment as a later one is
  // covered by it.
  auto it = std::upper_bound(marks_.begin(), marks_.end(), us,
                             [](std::int64_t t, const Mark& mark) { return t < mark.us; });
  return it == marks_.begin() ? 0 : static_cast<std::size_t>(std::prev(it) - marks_.begin());
}

}  // namespace radiolist::audio
