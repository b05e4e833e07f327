#pragma once
// A forgiving scanner for the XML that playlists come in (XSPF, ASX). ASX files in the wild are
// rarely well-formed: upper-case names, unquoted or single-quoted values, raw '&' in addresses.
// The scanner never fails; it hands out tags and text in document order and stops at the first
// construct that does not end (an unterminated tag, comment or CDATA section). Comments,
// processing instructions and declarations are skipped. Linear in the document.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace radiolist::formats::markup {

enum class TokenKind { Text, CData, StartTag, EndTag, End };

struct Token {
  TokenKind kind = TokenKind::End;
  std::string_view text;        // Text (entities not decoded) and CData: the content
  std::string_view name;        // tags: the name without a namespace prefix, as written
  std::string_view attributes;  // StartTag: everything between the name and '>'
  bool selfClosing = false;     // StartTag ending in "/>"
};

class Scanner {
 public:
  explicit Scanner(std::string_view document) : doc_(document) {}
  [[nodiscard]] Token next();

 private:
  std::string_view doc_;
  std::size_t pos_ = 0;
};

// Case-insensitive comparison with a lower-case ASCII name.
[[nodiscard]] bool nameIs(std::string_view name, std::string_view lowerName);

// A start tag's attributes one by one, in order; values as written (quotes removed, entities
// not decoded). Attributes without a value are skipped.
struct Attribute {
  std::string_view name;
  std::string_view value;
};
class AttributeReader {
 public:
  explicit AttributeReader(std::string_view attributes) : text_(attributes) {}
  [[nodiscard]] std::optional<Attribute> next();

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

// The value of attribute `lowerName` (matched case-insensitively) in a start tag's attribute
// text, entities decoded; quoted with ' or ", or unquoted up to a blank.
[[nodiscard]] std::optional<std::string> attribute(std::string_view attributes,
                                                   std::string_view lowerName);

// &amp; &lt; &gt; &quot; &apos; and numeric references decoded to UTF-8; anything else that
// starts with '&' is kept as written.
[[nodiscard]] std::string decodeEntities(std::string_view text);

}  // namespace radiolist::formats::markup
