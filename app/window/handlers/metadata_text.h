#pragma once
// How the window reads the station name and the title on air out of the audio library's tag
// data. Pure functions over the bytes and text the library hands out; no Qt, no I/O.

#include <optional>
#include <string>

namespace radiolist {

struct HeaderBlockScan {
  // The block held at least one header line (the poll of the station name then ends).
  bool hadLines = false;
  // Value of the last line starting with exactly "icy-name:" (case matters), raw bytes after
  // the colon with nothing trimmed; nullopt when no line matched.
  std::optional<std::string> stationName;
};

// `block` is a run of NUL-terminated lines ended by an empty string. Must not be null.
[[nodiscard]] HeaderBlockScan scanHeaderBlock(const char* block);

// The title cut out of a metadata text: the piece after "StreamTitle='" up to two characters
// before the first ";" of the text, counted in UTF-16 code units. The arithmetic is kept as
// stations and users have come to know it, including its results on unusual texts (a ";"
// inside the title cuts it short; a text without "StreamTitle=" still yields its 13th to
// (s-1)th characters); it never reads outside the text.
[[nodiscard]] std::u16string extractStreamTitle(const std::u16string& text);

}  // namespace radiolist
