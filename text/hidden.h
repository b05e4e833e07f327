#pragma once
// Characters that show nothing themselves yet change how the text around them shows: a name
// made of a line separator is an empty row, U+202E makes "gnp.exe" read backwards, a zero-width
// space makes two addresses that look alike differ. Text from outside (station lists, song
// titles) gets them replaced before it is shown or stored. No I/O, any thread.

#include <string>
#include <string_view>

namespace radiolist::text {

// C0 and C1 controls (NEL among them) and DEL; the bidirectional controls (U+061C, U+200E,
// U+200F, U+202A-U+202E, U+2066-U+2069); the line and paragraph separators (U+2028, U+2029);
// the zero-width and invisible format characters (U+00AD, U+180E, U+200B-U+200D,
// U+2060-U+2064, U+FEFF byte-order mark, U+FFF9-U+FFFB, the tag characters U+E0000-U+E007F);
// and the blank fillers that pass for letters (U+115F, U+1160, U+3164, U+FFA0).
[[nodiscard]] bool isHidden(char32_t cp);

// `text` (UTF-8) with each hidden code point replaced by `replacement`. A byte that does not
// start a well-formed sequence is taken as the code point of its value (so a stray 0x85 counts
// as NEL); the rest is kept byte for byte.
[[nodiscard]] std::string replaceHidden(std::string_view text, char replacement = '_');
[[nodiscard]] bool hasHidden(std::string_view text);

// The same for UTF-16; a lone surrogate is kept.
[[nodiscard]] std::u16string replaceHidden(std::u16string_view text, char16_t replacement = u'_');
[[nodiscard]] bool hasHidden(std::u16string_view text);

}  // namespace radiolist::text
