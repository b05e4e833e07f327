#pragma once
// The title on air as the library hands it out: parsed once where it arrives (the StreamTitle of
// an ICY block, an Ogg stream's comments, the ID3 tag of an HLS segment) and capped once. All of
// it is UTF-8 on one line, each field at most utf8::kMaxTitleBytes.

#include <string>
#include <string_view>

#include "text/utf8.h"

namespace radiolist {

struct SongTitle {
  std::string artist;  // empty when the station gave none apart from the title
  std::string title;   // the song's own title ("" when the station gave only an artist)
  std::string text;    // the whole, as a listener reads it: ICY's StreamTitle value as sent, or
                       // "ARTIST - TITLE" built from the comments or tag
  friend bool operator==(const SongTitle&, const SongTitle&) = default;
};

// The title of a song its tags name (Ogg's ARTIST and TITLE, ID3's TPE1 and TIT2), each UTF-8:
// the text is "ARTIST - TITLE", or the one of the two that is not empty. Inline: fuzz targets
// compile the tag readers' sources on their own.
[[nodiscard]] inline SongTitle songTitleFromTags(std::string_view artist, std::string_view title) {
  SongTitle song{utf8::oneLineCapped(artist, utf8::kMaxTitleBytes),
                 utf8::oneLineCapped(title, utf8::kMaxTitleBytes),
                 {}};
  std::string text = song.artist;
  if (!song.artist.empty() && !song.title.empty()) text += " - ";
  text += song.title;
  song.text = utf8::oneLineCapped(text, utf8::kMaxTitleBytes);
  return song;
}

}  // namespace radiolist
