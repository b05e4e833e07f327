#include "playback/net/icy_block.h"

#include "text/utf8.h"

namespace radiolist::net {
namespace {
std::optional<std::string_view> value(std::string_view text, std::string_view key) {
  const std::size_t start = text.find(key);
  if (start == std::string_view::npos) return std::nullopt;
  text.remove_prefix(start + key.size());
  return text.substr(0, text.find("';"));
}
}  // namespace

IcyFields icyFields(std::string_view block) {
  block = block.substr(0, block.find('\0'));
  return {value(block, "StreamTitle='"), value(block, "StreamUrl='")};
}

std::string withTitleCapped(std::string_view block) {
  const auto title = icyFields(block).title;
  if (!title) return std::string(block);
  const std::size_t from = static_cast<std::size_t>(title->data() - block.data());
  std::string out(block.substr(0, from));
  out += utf8::oneLineCapped(*title, utf8::kMaxTitleBytes);
  out += block.substr(from + title->size());
  return out;
}

std::string icyBlockFor(std::string_view title) {
  std::string block = "StreamTitle='";
  block += title;
  block += "';";
  return block;
}

}  // namespace radiolist::net
