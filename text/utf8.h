#pragma once
// UTF-8 <-> UTF-16, done here rather than through iconv: it is the common page, must be fast on
// long lists, and must replace bad input in a defined way.

#include <string>
#include <string_view>

namespace radiolist::utf8 {

// Appends code point `cp` (at most U+10FFFF) as UTF-8. Inline: fuzz targets compile the format
// readers' sources on their own.
inline void appendCodePoint(std::string& out, char32_t cp) {
  const auto put = [&](char32_t byte) { out.push_back(static_cast<char>(byte)); };
  if (cp < 0x80) {
    put(cp);
  } else if (cp < 0x800) {
    put(0xC0 | (cp >> 6));
    put(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    put(0xE0 | (cp >> 12));
    put(0x80 | ((cp >> 6) & 0x3F));
    put(0x80 | (cp & 0x3F));
  } else {
    put(0xF0 | (cp >> 18));
    put(0x80 | ((cp >> 12) & 0x3F));
    put(0x80 | ((cp >> 6) & 0x3F));
    put(0x80 | (cp & 0x3F));
  }
}

// Appends the UTF-8 of text to out; a lone surrogate becomes U+FFFD.
void append(std::u16string_view text, std::string& out);

// Appends the UTF-16 of bytes to out. Each maximal ill-formed subsequence (as Unicode defines it)
// becomes one U+FFFD. Returns whether the bytes were valid UTF-8.
bool append(std::string_view bytes, std::u16string& out);

// The UTF-16 of bytes, each ill-formed subsequence as one U+FFFD (see append).
[[nodiscard]] std::u16string decoded(std::string_view bytes);

// Bytes that may or may not be UTF-8 (a file name, say) as valid UTF-8.
[[nodiscard]] std::string sanitized(std::string_view bytes);

// A title as a server sent it, made safe to show and store: at most `maxBytes` (never cut inside
// a UTF-8 sequence), control bytes (a NUL would end a C string, a line break a log line) as
// spaces. Other bytes are kept: a legacy code page stays as it came.
// Inline, as appendCodePoint.
inline std::string oneLineCapped(std::string_view bytes, std::size_t maxBytes) {
  std::size_t n = bytes.size() < maxBytes ? bytes.size() : maxBytes;
  // Back over at most three continuation bytes: a cut inside a sequence would leave a broken one.
  for (int back = 0; n < bytes.size() && n > 0 && back < 3 &&
                     (static_cast<unsigned char>(bytes[n]) & 0xC0) == 0x80;
       ++back)
    --n;
  std::string out(bytes.substr(0, n));
  for (char& c : out) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = ' ';
  }
  return out;
}
// What every title the audio library hands out is capped to: a screenful of text.
inline constexpr std::size_t kMaxTitleBytes = 1024;

}  // namespace radiolist::utf8
