#include "playback/engine/icy_title.h"

#include <utility>

#include "playback/net/icy_block.h"
#include "text/legacy_text.h"
#include "text/utf8.h"

namespace radiolist::audio {

std::optional<SongTitle> icyTitle(std::string_view block) {
  const auto sent = net::icyFields(block).title;
  if (!sent) return std::nullopt;
  const std::string value = text::legacyToUtf8(*sent);
  return splitSongName(utf8::oneLineCapped(value, utf8::kMaxTitleBytes));
}

SongTitle splitSongName(std::string text) {
  const auto dash = text.find(" - ");
  if (dash == std::string::npos) return {{}, text, std::move(text)};
  return {text.substr(0, dash), text.substr(dash + 3), std::move(text)};
}

}  // namespace radiolist::audio
