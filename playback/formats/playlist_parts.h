#pragma once
// Shared by the playlist readers and the station importers; not part of the library's interface.

#include <algorithm>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "playback/formats/stations.h"

namespace radiolist::formats::detail {

// Collects resolved entries in order, up to `limit`, leaving out what does not resolve.
// An item is one stream the file names, possibly with alternative addresses (XSPF locations of
// one track, ASX refs of one entry): for playing, every address counts (the engine tries them in
// turn); for importing (`firstOfItem`) an item is one station, its first address that resolves.
class EntryCollector {
 public:
  EntryCollector(std::string_view base, std::size_t limit, bool firstOfItem = false)
      : base_(base), limit_(limit), firstOfItem_(firstOfItem) {}
  // One item of one address, relative to the base.
  void add(std::string_view reference, std::string_view name = {});
  // One item of addresses already resolved ("" for one that did not resolve).
  void addItem(std::span<const std::string> urls, std::string_view name);
  // `reference` as resolveUrl(base, reference) gives it. Each resolution copies its base: past
  // a budget of base bytes only absolute references resolve, so that a long base and many short
  // relative entries cannot make reading a file take minutes.
  [[nodiscard]] std::optional<std::string> resolve(std::string_view base,
                                                   std::string_view reference);
  [[nodiscard]] const std::string& base() const { return base_; }
  // Whether an item's addresses after its first that resolved are wanted.
  [[nodiscard]] bool keepsAlternatives() const { return !firstOfItem_; }
  // Importing never fills up: entries past the limit are counted (leftOut().overCap), so that
  // the user is told how many were left out.
  [[nodiscard]] bool full() const { return !firstOfItem_ && entries_.size() >= limit_; }
  [[nodiscard]] std::vector<Station> take() { return std::move(entries_); }
  // Importing: the items left out, by why.
  [[nodiscard]] const LeftOut& leftOut() const { return leftOut_; }

 private:
  enum class Refusal { NotWeb, NotPlain, TooLong };
  void keep(std::string url, std::string_view name);
  void count(Refusal why);

  std::string base_;
  std::size_t limit_;
  bool firstOfItem_;
  std::size_t resolveBudget_ = std::size_t{64} << 20;
  std::vector<Station> entries_;
  LeftOut leftOut_;
  Refusal lastRefusal_ = Refusal::NotWeb;  // why the latest resolve() gave nothing
};

// A station's name as the file gave it, made one line of valid UTF-8 (a legacy code page
// guessed), hidden characters replaced by '_', without surrounding blanks, at most
// kMaxStationNameBytes.
[[nodiscard]] std::string cleanName(std::string_view raw);

// The body as UTF-8 text without a byte-order mark (UTF-16 converted).
[[nodiscard]] std::string textOf(std::string_view body);
[[nodiscard]] bool looksBinary(std::string_view text);
// An M3U header followed by a tag only HLS playlists carry.
[[nodiscard]] bool isHls(std::string_view text);
// The format of a body already made text by textOf().
[[nodiscard]] PlaylistFormat sniffText(std::string_view text);
// The name of the first element of a markup document, "" when it starts otherwise.
[[nodiscard]] std::string_view firstElement(std::string_view text);

// Calls f(line) for each line; CR, LF and CRLF all end one. Stops when f returns false.
template <typename F>
void forEachLine(std::string_view text, F f) {
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = std::min(text.find_first_of("\r\n", start), text.size());
    if (!f(text.substr(start, end - start))) return;
    start = end + 1;
  }
}

// The readers; `text` is UTF-8 without a byte-order mark.
void readM3u(std::string_view text, EntryCollector& entries);
void readPls(std::string_view text, EntryCollector& entries);
void readReference(std::string_view text, EntryCollector& entries);
void readXspf(std::string_view text, EntryCollector& entries);
void readAsx(std::string_view text, EntryCollector& entries);
// Other players' station lists.
void readGoodvibes(std::string_view text, EntryCollector& entries);
void readPyradioCsv(std::string_view text, EntryCollector& entries);
void readRadiotrayJson(std::string_view text, EntryCollector& entries);

}  // namespace radiolist::formats::detail
