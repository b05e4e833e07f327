#pragma once
// The one reader of an ICY metadata block ("StreamTitle='...';StreamUrl='...';"): where its
// fields' values are. Everything that needs a block's title (the cap on what is handed out, the
// parsed title) goes through icyFields. Pure.

#include <optional>
#include <string>
#include <string_view>

namespace radiolist::net {

struct IcyFields {
  // Each value as sent: from after "Key='" up to "';" or the end of the block's text (a ';' or
  // a quote inside belongs to the value); nullopt when the block has no such key. Views into the
  // block given.
  std::optional<std::string_view> title;
  std::optional<std::string_view> url;
};
// The block's text ends at its first NUL (the padding after it).
[[nodiscard]] IcyFields icyFields(std::string_view block);

// The block with its StreamTitle value capped as every title the library hands out is
// (utf8::oneLineCapped); the rest of the block unchanged.
[[nodiscard]] std::string withTitleCapped(std::string_view block);

// A block that carries `title` as its StreamTitle: what the tags show for a title that came
// inside the audio (an Ogg comment, an HLS ID3 tag) rather than in a block.
[[nodiscard]] std::string icyBlockFor(std::string_view title);

}  // namespace radiolist::net
