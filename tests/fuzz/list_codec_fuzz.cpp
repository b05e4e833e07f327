// Any bytes a list file may hold: decoding never fails, counting agrees with decoding, and
// saving what was read keeps every line.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "channels/list_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const radiolist::CodePage utf8 = radiolist::CodePage::utf8();
  static const radiolist::CodePage cp1251 = radiolist::CodePage::legacyDefault();
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  for (const radiolist::CodePage* ansi : {&utf8, &cp1251}) {
    const radiolist::ListLines lines = radiolist::decodeListBytes(bytes, *ansi, cp1251);
    if (radiolist::countListBytes(bytes, *ansi, cp1251) != lines.size()) std::abort();
    // Saving never loses a line, and once saved, saving again changes nothing -- but for
    // U+FEFF at the very start, which a save writes as plain bytes and the next load takes for
    // a byte-order mark. (A UTF-16 file's lone surrogates become U+FFFD on the first save.)
    const radiolist::ListLines once =
        radiolist::decodeListBytes(radiolist::encodeListBytes(lines, *ansi), *ansi, cp1251);
    const radiolist::ListLines twice =
        radiolist::decodeListBytes(radiolist::encodeListBytes(once, *ansi), *ansi, cp1251);
    if (once.size() != lines.size() || twice.size() != lines.size()) std::abort();
    const auto withoutMarks = [](std::u16string line) {
      return line.erase(0, line.find_first_not_of(u'\uFEFF'));
    };
    for (std::size_t i = 0; i < once.size(); ++i)
      if ((i == 0 ? withoutMarks(once[i]) != withoutMarks(twice[i]) : once[i] != twice[i]))
        std::abort();
  }
  return 0;
}
