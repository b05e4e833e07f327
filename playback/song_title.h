#pragma once
// The title on air as the library hands it out: parsed once where it arrives (the StreamTitle of
// an ICY block, an Ogg stream's comments, the ID3 tag of an HLS segment) and capped once. All of
// it is UTF-8 on one line, each field at most utf8::kMaxTitleBytes.

#include <string>

namespace radiolist {

struct SongTitle {
  std::string artist;  // empty when the station gave none apart from the title
  std::string title;   // the song's own title ("" when the station gave only an artist)
  std::string text;    // the whole, as a listener reads it: ICY's StreamTitle value as sent, or
                       // "ARTIST - TITLE" built from the comments or tag
  friend bool operator==(const SongTitle&, const SongTitle&) = default;
};

}  // namespace radiolist
