#pragma once
// The program's stand-in for the system's ANSI code page: the character set list files are
// saved in, and read in when they carry no byte-order mark.

#include <string>
#include <string_view>

namespace radiolist {

// A character set that converts UTF-16 text to bytes and back. UTF-8 is converted here; every
// other set goes through iconv. Copyable, no shared state: any thread may use any instance.
class CodePage {
 public:
  // The page chosen once for this process from the locale (setlocale(LC_ALL, "") on first
  // call, then nl_langinfo(CODESET)): see forLocaleCodeset().
  [[nodiscard]] static const CodePage& system();

  // UTF-8 when the codeset is UTF-8, plain ASCII (the C/POSIX locale), empty or unknown to
  // iconv; otherwise that set ("CP1251", "KOI8-R", "ISO-8859-5", "EUC-JP", ...).
  [[nodiscard]] static CodePage forLocaleCodeset(std::string_view codeset);

  [[nodiscard]] static CodePage utf8();

  // Windows-1251: how lists written on the old platform are read when the system page is
  // UTF-8 and a file without byte-order mark is not valid UTF-8.
  [[nodiscard]] static CodePage legacyDefault();

  // Any iconv name. Throws std::invalid_argument when iconv cannot convert it both ways.
  explicit CodePage(std::string name);

  [[nodiscard]] const std::string& name() const { return name_; }
  [[nodiscard]] bool isUtf8() const { return utf8_; }

  // A character the page lacks becomes iconv's transliteration (a look-alike, possibly a few
  // letters) when there is one, else '?'. UTF-8 represents everything; a lone surrogate
  // becomes U+FFFD.
  [[nodiscard]] std::string encode(std::u16string_view text) const;

  // Bytes that are not valid in the page become U+FFFD, one per bad sequence.
  [[nodiscard]] std::u16string decode(std::string_view bytes) const;

 private:
  std::string name_;
  bool utf8_ = false;
};

}  // namespace radiolist
