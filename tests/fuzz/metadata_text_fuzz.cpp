// Any metadata text and any header block from a server: the title is always a piece of the
// text, and the header scan stays inside the block.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/window/handlers/metadata_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < size; i += 2)
    text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  const std::u16string title = radiolist::extractStreamTitle(text);
  if (title.size() > text.size() || (!title.empty() && text.find(title) == std::u16string::npos))
    std::abort();

  // The bytes as a header block: ended by two NULs, as the library hands it out.
  std::string block(reinterpret_cast<const char*>(data), size);
  block.append(2, '\0');
  const auto scan = radiolist::scanHeaderBlock(block.c_str());
  if (scan.stationName && scan.stationName->size() > size) std::abort();
  if (scan.hadLines != (size > 0 && data[0] != 0)) std::abort();
  return 0;
}
