// Any bytes as an ID3 tag and as a timed-metadata packet: the size is the header's, the title
// is capped, names something and is no longer than the text the bytes could hold.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "playback/hls/id3.h"

namespace {

void checkTitle(const std::optional<radiolist::SongTitle>& title, std::size_t size) {
  if (!title) return;
  // Each part is capped; the text joins them, capped too.
  for (const std::string* part : {&title->artist, &title->title, &title->text})
    if (part->size() > radiolist::utf8::kMaxTitleBytes) std::abort();
  if (title->artist.empty() && title->title.empty()) std::abort();
  // UTF-16 and Latin-1 grow at most threefold to UTF-8 (plus " - ").
  if (title->text.size() > 3 * size + 3) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto bytes = std::as_bytes(std::span(data, size));
  const std::size_t tagSize = radiolist::hls::id3TagSize(bytes);
  if (tagSize != 0 && (size < 10 || tagSize < 10)) std::abort();
  const auto title = radiolist::hls::songTitleFromId3(bytes);
  if (title && tagSize == 0) std::abort();
  checkTitle(title, size);
  checkTitle(radiolist::hls::titleFromTimedId3(bytes), size);
  return 0;
}
