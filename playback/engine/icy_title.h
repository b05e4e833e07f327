#pragma once
// The title on air in an ICY metadata block, parsed once for everything but the window's label
// (which reads the block itself through BASS_TAG_META). Pure.

#include <optional>
#include <string>
#include <string_view>

#include "playback/song_title.h"

namespace radiolist::audio {

// The title a metadata block carries: the value of StreamTitle as net::icyFields reads it, as
// UTF-8 (a legacy code page guessed as for the tags), on one line and capped; artist
// and title apart as splitSongName cuts it. nullopt when the block has no StreamTitle.
[[nodiscard]] std::optional<SongTitle> icyTitle(std::string_view block);

// "Artist - Title" cut at the first " - " into artist and title; a text without it is all title.
// The text stays whole.
[[nodiscard]] SongTitle splitSongName(std::string text);

}  // namespace radiolist::audio
