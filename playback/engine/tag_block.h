#pragma once
// Builds the bytes that BASS_ChannelGetTags hands out, and the station's name. Pure.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "playback/bass.h"

namespace radiolist::audio {

// Header lines as one block: each line followed by NUL, the run ended by an empty string (so the
// block ends with two NULs; no lines give a single NUL). A NUL inside a line would cut it short
// for the reader, so such a line ends at its first NUL.
[[nodiscard]] std::string headerBlock(const std::vector<std::string>& lines);

// The tag text of `type` for a response head whose status line is lines[0], or nullopt when the
// stream has no such tag: BASS_TAG_ICY only for an "ICY" status line, BASS_TAG_HTTP only for any
// other, BASS_TAG_META only once a metadata block arrived. The result is what the caller sees,
// terminators included.
// The station's name in a response head's lines: its icy-name as UTF-8 (a legacy code page
// guessed as for the tags), trimmed, on one line and capped; "" when it has none.
[[nodiscard]] std::string stationName(const std::vector<std::string>& lines);

[[nodiscard]] std::optional<std::string> tagText(DWORD type, const std::vector<std::string>* lines,
                                                 const std::optional<std::string>& meta);

}  // namespace radiolist::audio
