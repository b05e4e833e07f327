#include "text/utf8.h"

namespace radiolist::utf8 {

namespace {

constexpr char16_t kReplacement = u'\uFFFD';

bool isHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

void putCodePoint(std::string& out, char32_t cp) { appendCodePoint(out, cp); }

void putCodePoint(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

}  // namespace

void append(std::u16string_view text, std::string& out) {
  out.reserve(out.size() + text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (isHighSurrogate(c) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
      putCodePoint(out, 0x10000 + ((char32_t{c} - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (isHighSurrogate(c) || isLowSurrogate(c)) {
      putCodePoint(out, kReplacement);
    } else {
      putCodePoint(out, c);
    }
  }
}

bool append(std::string_view bytes, std::u16string& out) {
  out.reserve(out.size() + bytes.size());
  bool valid = true;
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
    }
    // Lead byte: how many continuation bytes follow, and the range the first one must lie
    // in so that overlong forms, surrogates and values above U+10FFFF are refused.
    int continuations = 0;
    unsigned low = 0x80;
    unsigned high = 0xBF;
    char32_t cp = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      continuations = 1;
      cp = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      continuations = 2;
      cp = lead & 0x0Fu;
      low = lead == 0xE0 ? 0xA0 : 0x80;
      high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      continuations = 3;
      cp = lead & 0x07u;
      low = lead == 0xF0 ? 0x90 : 0x80;
      high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
      out.push_back(kReplacement);
      valid = false;
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    bool complete = true;
    for (int k = 0; k < continuations; ++k, ++j) {
      const auto c = j < n ? static_cast<unsigned char>(bytes[j]) : 0u;
      if (j >= n || c < low || c > high) {
        complete = false;
        break;
      }
      cp = (cp << 6) | (c & 0x3Fu);
      low = 0x80;
      high = 0xBF;
    }
    if (complete) {
      putCodePoint(out, cp);
    } else {
      out.push_back(kReplacement);
      valid = false;
    }
    i = j;
  }
  return valid;
}

std::string sanitized(std::string_view bytes) {
  std::u16string text;
  if (append(bytes, text)) return std::string(bytes);
  std::string out;
  append(text, out);
  return out;
}

std::u16string decoded(std::string_view bytes) {
  std::u16string text;
  append(bytes, text);
  return text;
}

}  // namespace radiolist::utf8
