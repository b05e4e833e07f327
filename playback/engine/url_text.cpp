#include "playback/engine/url_text.h"
#include "text/utf8.h"

#include <cstdint>

namespace radiolist::audio {

namespace {

using utf8::appendCodePoint;

bool isHigh(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLow(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

std::optional<std::string> addressFromArgument(const void* url, bool unicode,
                                               std::size_t maxUnits) {
  if (url == nullptr) return std::nullopt;
  std::string out;
  if (!unicode) {
    const char* s = static_cast<const char*>(url);
    for (std::size_t i = 0; i < maxUnits; ++i) {
      if (s[i] == '\0') return out;
      out.push_back(s[i]);
    }
    return std::nullopt;
  }
  const char16_t* s = static_cast<const char16_t*>(url);
  for (std::size_t i = 0; i < maxUnits; ++i) {
    const char16_t u = s[i];
    if (u == 0) return out;
    if (isHigh(u) && i + 1 < maxUnits && isLow(s[i + 1])) {
      appendCodePoint(out,
                      0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (s[i + 1] - 0xDC00));
      ++i;
    } else if (isHigh(u) || isLow(u)) {
      appendCodePoint(out, 0xFFFD);
    } else {
      appendCodePoint(out, u);
    }
  }
  return std::nullopt;
}

}  // namespace radiolist::audio
