#pragma once
// Text that radio servers send in whatever code page their operator's machine used: ICY titles
// (StreamTitle='...';) and icy-name values. Pure functions, no I/O, safe on any bytes.

#include <string>
#include <string_view>

namespace radiolist::text {

// True when `bytes` is well-formed UTF-8: shortest forms only, no surrogates, nothing above
// U+10FFFF. Empty text is valid.
[[nodiscard]] bool isValidUtf8(std::string_view bytes);

enum class LegacyPage { Windows1251, Windows1252 };

// Which legacy page the high bytes of `bytes` most likely belong to. Cyrillic words are runs of
// high-byte letters ("Название" is eight in a row), while Western European accents sit alone or
// in pairs between ASCII letters ("Café", "Motörhead", "Coração"). Whole high-byte words of two
// or more letters, and runs of three or more inside a word, count for Windows-1251; accented
// letters inside ASCII words count for Windows-1252. A lone one-letter word counts only when it
// is a word in one language and not in the other ("я", "в" against "à", "è"), and when nothing
// else decides, a text without ASCII words is Cyrillic. Ties go to Windows-1252.
[[nodiscard]] LegacyPage guessLegacyPage(std::string_view bytes);

// `bytes` decoded from `page` to UTF-8. Undefined bytes become U+FFFD.
[[nodiscard]] std::string decodeLegacy(std::string_view bytes, LegacyPage page);

// The bytes as they are when valid UTF-8; otherwise decoded as Windows-1251 when their high
// bytes read as Cyrillic, else as Windows-1252, and returned as UTF-8. One exception: text that
// is UTF-8 but for a few broken sequences (a title cut inside a character by the server) stays
// UTF-8, with U+FFFD for each broken sequence and a character cut off at the very end dropped.
// The result is always valid UTF-8.
[[nodiscard]] std::string legacyToUtf8(std::string_view bytes);

}  // namespace radiolist::text
