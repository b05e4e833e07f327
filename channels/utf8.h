#pragma once
// UTF-8 <-> UTF-16, done here rather than through iconv: it is the common page, must be fast on
// long lists, and must replace bad input in a defined way.

#include <string>
#include <string_view>

namespace radiolist::utf8 {

// Appends the UTF-8 of text to out; a lone surrogate becomes U+FFFD.
void append(std::u16string_view text, std::string& out);

// Appends the UTF-16 of bytes to out. Each maximal ill-formed subsequence (as Unicode defines it)
// becomes one U+FFFD. Returns whether the bytes were valid UTF-8.
bool append(std::string_view bytes, std::u16string& out);

// Bytes that may or may not be UTF-8 (a file name, say) as valid UTF-8.
[[nodiscard]] std::string sanitized(std::string_view bytes);

} // namespace radiolist::utf8
