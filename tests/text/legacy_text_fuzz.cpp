// Any title bytes: the result is valid UTF-8, and valid UTF-8 comes back unchanged.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "text/legacy_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace radiolist::text;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::string text = legacyToUtf8(bytes);
  if (!isValidUtf8(text)) std::abort();
  if (isValidUtf8(bytes) && text != bytes) std::abort();
  if (legacyToUtf8(text) != text) std::abort();
  for (const LegacyPage page : {LegacyPage::Windows1251, LegacyPage::Windows1252}) {
    const std::string decoded = decodeLegacy(bytes, page);
    if (!isValidUtf8(decoded) || decoded.size() < bytes.size()) std::abort();
  }
  return 0;
}
