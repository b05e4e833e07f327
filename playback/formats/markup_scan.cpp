#include "playback/formats/markup_scan.h"
#include "text/ascii.h"
#include "text/utf8.h"

#include <algorithm>

namespace radiolist::formats::markup {
namespace {

using text::lower;
using utf8::appendCodePoint;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f'; }

bool isNameChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || c == '-' ||
         c == '_' || c == ':' || c == '.' || u >= 0x80;
}

// A numeric reference's code point ("#38", "#x26"), or nothing when it names no character.
std::optional<char32_t> numericReference(std::string_view ref) {
  const bool hex = ref.size() > 1 && (ref[1] == 'x' || ref[1] == 'X');
  const std::string_view digits = ref.substr(hex ? 2 : 1);
  if (digits.empty() || digits.size() > 8) return std::nullopt;
  char32_t value = 0;
  for (const char c : digits) {
    unsigned digit = 0;
    if (c >= '0' && c <= '9')
      digit = static_cast<unsigned>(c - '0');
    else if (hex && lower(c) >= 'a' && lower(c) <= 'f')
      digit = static_cast<unsigned>(lower(c) - 'a' + 10);
    else
      return std::nullopt;
    value = value * (hex ? 16 : 10) + digit;
  }
  if (value == 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return std::nullopt;
  return value;
}

}  // namespace

Token Scanner::next() {
  const std::size_t size = doc_.size();
  while (pos_ < size) {
    if (doc_[pos_] != '<') {
      const std::size_t end = std::min(doc_.find('<', pos_), size);
      Token t{TokenKind::Text, doc_.substr(pos_, end - pos_), {}, {}, false};
      pos_ = end;
      return t;
    }
    const std::string_view rest = doc_.substr(pos_);
    if (rest.starts_with("<!--")) {
      const std::size_t end = doc_.find("-->", pos_ + 4);
      if (end == std::string_view::npos) break;
      pos_ = end + 3;
      continue;
    }
    if (rest.starts_with("<![CDATA[")) {
      const std::size_t end = doc_.find("]]>", pos_ + 9);
      if (end == std::string_view::npos) break;
      Token t{TokenKind::CData, doc_.substr(pos_ + 9, end - pos_ - 9), {}, {}, false};
      pos_ = end + 3;
      return t;
    }
    if (rest.starts_with("<?") || rest.starts_with("<!")) {
      const std::size_t end = doc_.find('>', pos_ + 2);
      if (end == std::string_view::npos) break;
      pos_ = end + 1;
      continue;
    }
    const bool closing = rest.size() > 1 && rest[1] == '/';
    const std::size_t nameStart = pos_ + (closing ? 2 : 1);
    std::size_t nameEnd = nameStart;
    while (nameEnd < size && isNameChar(doc_[nameEnd])) ++nameEnd;
    if (nameEnd == nameStart) {  // a stray '<' is text
      Token t{TokenKind::Text, doc_.substr(pos_, 1), {}, {}, false};
      ++pos_;
      return t;
    }
    // The tag ends at the first '>' outside a quoted value.
    std::size_t i = nameEnd;
    char quote = 0;
    for (; i < size; ++i) {
      const char c = doc_[i];
      if (quote != 0) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '>') {
        break;
      }
    }
    if (i >= size) break;
    std::string_view name = doc_.substr(nameStart, nameEnd - nameStart);
    if (const auto colon = name.rfind(':'); colon != std::string_view::npos)
      name.remove_prefix(colon + 1);
    std::string_view attributes = doc_.substr(nameEnd, i - nameEnd);
    while (!attributes.empty() && isBlank(attributes.back())) attributes.remove_suffix(1);
    const bool selfClosing = attributes.ends_with('/');
    pos_ = i + 1;
    return Token{
        closing ? TokenKind::EndTag : TokenKind::StartTag, {}, name, attributes, selfClosing};
  }
  pos_ = size;
  return Token{};
}

bool nameIs(std::string_view name, std::string_view lowerName) {
  return name.size() == lowerName.size() &&
         std::equal(name.begin(), name.end(), lowerName.begin(),
                    [](char a, char b) { return lower(a) == b; });
}

std::optional<Attribute> AttributeReader::next() {
  std::size_t& i = pos_;
  const std::size_t size = text_.size();
  while (i < size) {
    while (i < size && (isBlank(text_[i]) || text_[i] == '/')) ++i;
    const std::size_t nameStart = i;
    while (i < size && !isBlank(text_[i]) && text_[i] != '=' && text_[i] != '/') ++i;
    const std::string_view name = text_.substr(nameStart, i - nameStart);
    while (i < size && isBlank(text_[i])) ++i;
    if (i >= size || text_[i] != '=') continue;
    ++i;
    while (i < size && isBlank(text_[i])) ++i;
    std::string_view value;
    if (i < size && (text_[i] == '"' || text_[i] == '\'')) {
      const char quote = text_[i++];
      const std::size_t end = std::min(text_.find(quote, i), size);
      value = text_.substr(i, end - i);
      i = end < size ? end + 1 : size;
    } else {
      const std::size_t start = i;
      while (i < size && !isBlank(text_[i])) ++i;
      value = text_.substr(start, i - start);
    }
    return Attribute{name, value};
  }
  return std::nullopt;
}

std::optional<std::string> attribute(std::string_view attributes, std::string_view lowerName) {
  AttributeReader reader(attributes);
  while (const auto a = reader.next()) {
    if (nameIs(a->name, lowerName)) return decodeEntities(a->value);
  }
  return std::nullopt;
}

std::string decodeEntities(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t amp = text.find('&', i);
    if (amp == std::string_view::npos) break;
    out.append(text.substr(i, amp - i));
    i = amp + 1;
    // Names and numbers of interest are short; a ';' further on belongs to something else.
    const std::size_t semi = text.substr(i, 12).find(';');
    if (semi == std::string_view::npos) {
      out.push_back('&');
      continue;
    }
    const std::string_view ref = text.substr(i, semi);
    std::optional<char32_t> c;
    if (ref == "amp")
      c = U'&';
    else if (ref == "lt")
      c = U'<';
    else if (ref == "gt")
      c = U'>';
    else if (ref == "quot")
      c = U'"';
    else if (ref == "apos")
      c = U'\'';
    else if (ref.starts_with('#'))
      c = numericReference(ref);
    if (!c) {
      out.push_back('&');
      continue;
    }
    appendCodePoint(out, *c);
    i += semi + 1;
  }
  out.append(text.substr(std::min(i, text.size())));
  return out;
}

}  // namespace radiolist::formats::markup
