#include "playback/engine/icy_title.h"

#include <utility>

#include "text/legacy_text.h"
#include "text/utf8.h"

namespace radiolist::audio {

std::optional<SongTitle> icyTitle(std::string_view block) {
  constexpr std::string_view kKey = "StreamTitle='";
  block = block.substr(0, block.find('\0'));  // the padding after the text, as the tags cut it
  const auto start = block.find(kKey);
  if (start == std::string_view::npos) return std::nullopt;
  block.remove_prefix(start + kKey.size());
  const std::string value = text::legacyToUtf8(block.substr(0, block.find("';")));
  return splitSongName(utf8::oneLineCapped(value, utf8::kMaxTitleBytes));
}

SongTitle splitSongName(std::string text) {
  const auto dash = text.find(" - ");
  if (dash == std::string::npos) return {{}, text, std::move(text)};
  return {text.substr(0, dash), text.substr(dash + 3), std::move(text)};
}

}  // namespace radiolist::audio
