#include "playback/engine/tag_block.h"

#include "text/ascii.h"
#include "text/legacy_text.h"
#include "text/utf8.h"

namespace radiolist::audio {

std::string stationName(const std::vector<std::string>& lines) {
  std::string station;
  for (const std::string& line : lines) {
    if (line.size() > 9 && text::startsWithIgnoringCase(line, "icy-name:"))
      station = std::string(text::trimmed(text::legacyToUtf8(std::string_view(line).substr(9))));
  }
  return utf8::oneLineCapped(station, utf8::kMaxTitleBytes);
}

std::string headerBlock(const std::vector<std::string>& lines) {
  std::string block;
  for (const std::string& line : lines) {
    block.append(std::string_view(line).substr(0, line.find('\0')));
    block.push_back('\0');
  }
  block.push_back('\0');
  return block;
}

std::optional<std::string> tagText(DWORD type, const std::vector<std::string>* lines,
                                   const std::optional<std::string>& meta) {
  if (type == BASS_TAG_META) {
    if (!meta) return std::nullopt;
    std::string text = meta->substr(0, meta->find('\0'));
    text.push_back('\0');
    return text;
  }
  if (type != BASS_TAG_ICY && type != BASS_TAG_HTTP) return std::nullopt;
  if (lines == nullptr || lines->empty()) return std::nullopt;
  const bool icy = std::string_view(lines->front()).starts_with("ICY");
  if (icy != (type == BASS_TAG_ICY)) return std::nullopt;
  return headerBlock(*lines);
}

}  // namespace radiolist::audio
