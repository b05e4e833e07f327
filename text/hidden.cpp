#include "text/hidden.h"

namespace radiolist::text {

namespace {

// Calls f(code point, its bytes) for each sequence; see replaceHidden for bytes that start none.
template <class F>
void forEachUtf8(std::string_view text, F&& f) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (i + length > text.size()) length = 1;
    for (std::size_t k = 1; k < length; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) length = 1;
    char32_t cp = length == 1 ? lead : lead & (0x7Fu >> length);
    for (std::size_t k = 1; k < length; ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
    f(cp, text.substr(i, length));
    i += length;
  }
}

template <class F>
void forEachUtf16(std::u16string_view text, F&& f) {
  for (std::size_t i = 0; i < text.size();) {
    const char16_t unit = text[i];
    if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      f(0x10000 + ((char32_t{unit} - 0xD800) << 10) + (char32_t{text[i + 1]} - 0xDC00),
        text.substr(i, 2));
      i += 2;
    } else {
      f(char32_t{unit}, text.substr(i, 1));
      ++i;
    }
  }
}

}  // namespace

bool isHidden(char32_t cp) {
  if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return true;
  if (cp < 0xAD) return false;
  return cp == 0xAD || cp == 0x061C || cp == 0x115F || cp == 0x1160 || cp == 0x180E ||
         (cp >= 0x200B && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202E) ||
         (cp >= 0x2060 && cp <= 0x2064) || (cp >= 0x2066 && cp <= 0x2069) || cp == 0x3164 ||
         cp == 0xFEFF || cp == 0xFFA0 || (cp >= 0xFFF9 && cp <= 0xFFFB) ||
         (cp >= 0xE0000 && cp <= 0xE007F);
}

std::string replaceHidden(std::string_view text, char replacement) {
  std::string out;
  out.reserve(text.size());
  forEachUtf8(text, [&](char32_t cp, std::string_view bytes) {
    if (isHidden(cp))
      out += replacement;
    else
      out += bytes;
  });
  return out;
}

bool hasHidden(std::string_view text) {
  bool found = false;
  forEachUtf8(text, [&](char32_t cp, std::string_view) { found = found || isHidden(cp); });
  return found;
}

std::u16string replaceHidden(std::u16string_view text, char16_t replacement) {
  std::u16string out;
  out.reserve(text.size());
  forEachUtf16(text, [&](char32_t cp, std::u16string_view units) {
    if (isHidden(cp))
      out += replacement;
    else
      out += units;
  });
  return out;
}

bool hasHidden(std::u16string_view text) {
  bool found = false;
  forEachUtf16(text, [&](char32_t cp, std::u16string_view) { found = found || isHidden(cp); });
  return found;
}

}  // namespace radiolist::text
