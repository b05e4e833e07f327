// The byte format of list files: choosing the encoding, cutting text into lines, and back.

#include "channels/list_file.h"

#include "text/utf8.h"

namespace radiolist {

namespace {

bool startsWith(std::string_view bytes, std::string_view prefix) {
  return bytes.substr(0, prefix.size()) == prefix;
}

// An odd last byte is dropped: it cannot hold a whole unit.
std::u16string decodeUtf16(std::string_view bytes, bool bigEndian) {
  std::u16string text(bytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto first = static_cast<unsigned char>(bytes[2 * i]);
    const auto second = static_cast<unsigned char>(bytes[2 * i + 1]);
    text[i] = static_cast<char16_t>(bigEndian ? (first << 8) | second : (second << 8) | first);
  }
  return text;
}

// The one place that decides how a list file's bytes become text.
std::u16string decodeText(std::string_view bytes, const CodePage& ansi, const CodePage& fallback) {
  if (startsWith(bytes, "\xFF\xFE")) return decodeUtf16(bytes.substr(2), false);
  if (startsWith(bytes, "\xFE\xFF")) return decodeUtf16(bytes.substr(2), true);
  std::u16string text;
  if (startsWith(bytes, "\xEF\xBB\xBF")) {
    // Malformed sequences read as U+FFFD: an all-or-nothing decode would load an empty
    // list, and the next save would wipe the file.
    utf8::append(bytes.substr(3), text);
    return text;
  }
  if (!ansi.isUtf8()) return ansi.decode(bytes);
  if (utf8::append(bytes, text)) return text;
  // Not UTF-8 although the system page is: most likely a list written on the old platform.
  return fallback.decode(bytes);
}

// Calls line(std::u16string_view) for each line of text, by the reading rules: a line ends at
// CR, LF or NUL; then one CR and one LF are skipped; a NUL where a line would start ends it all.
template <class LineSink>
void forEachLine(std::u16string_view text, LineSink&& line) {
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n && text[i] != u'\0') {
    const std::size_t start = i;
    while (i < n && text[i] != u'\r' && text[i] != u'\n' && text[i] != u'\0') ++i;
    line(text.substr(start, i - start));
    if (i < n && text[i] == u'\r') ++i;
    if (i < n && text[i] == u'\n') ++i;
  }
}

}  // namespace

ListLines decodeListBytes(std::string_view bytes, const CodePage& ansi,
                          const CodePage& legacyFallback) {
  ListLines lines;
  forEachLine(decodeText(bytes, ansi, legacyFallback),
              [&](std::u16string_view line) { lines.emplace_back(line); });
  return lines;
}

std::size_t countListBytes(std::string_view bytes, const CodePage& ansi,
                           const CodePage& legacyFallback) {
  std::size_t count = 0;
  forEachLine(decodeText(bytes, ansi, legacyFallback), [&](std::u16string_view) { ++count; });
  return count;
}

std::string encodeListBytes(std::span<const std::u16string> lines, const CodePage& ansi) {
  std::size_t length = 0;
  for (const auto& line : lines) length += line.size() + 2;
  std::u16string text;
  text.reserve(length);
  for (const auto& line : lines) {
    text += line;
    text += u"\r\n";
  }
  return ansi.encode(text);
}

std::size_t encodedListSize(std::span<const std::u16string> lines, const CodePage& ansi) {
  if (!ansi.isUtf8()) return encodeListBytes(lines, ansi).size();
  std::size_t size = 0;
  for (const std::u16string& line : lines) {
    size += 2;  // CR LF
    for (std::size_t i = 0; i < line.size(); ++i) {
      const char16_t unit = line[i];
      if (unit < 0x80) {
        size += 1;
      } else if (unit < 0x800) {
        size += 2;
      } else if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < line.size() && line[i + 1] >= 0xDC00 &&
                 line[i + 1] < 0xE000) {
        size += 4;
        ++i;
      } else {
        size += 3;  // a lone surrogate is written as U+FFFD, three bytes too
      }
    }
  }
  return size;
}

}  // namespace radiolist
