#include "app/window/handlers/metadata_text.h"

#include <cstring>

namespace radiolist {

HeaderBlockScan scanHeaderBlock(const char* block) {
  static constexpr char kPrefix[] = "icy-name:";
  static constexpr std::size_t kPrefixLen = sizeof kPrefix - 1;
  HeaderBlockScan scan;
  for (const char* cursor = block; *cursor != '\0';) {
    const std::size_t length = std::strlen(cursor);
    if (length >= kPrefixLen && std::memcmp(cursor, kPrefix, kPrefixLen) == 0)
      scan.stationName = std::string(cursor + kPrefixLen, length - kPrefixLen);
    cursor += length + 1;
    scan.hadLines = true;
  }
  return scan;
}

std::u16string extractStreamTitle(const std::u16string& text) {
  // Positions count from 1; 0 means "not found".
  const auto position = [&](const std::u16string& what) -> long long {
    const auto found = text.find(what);
    return found == std::u16string::npos ? 0 : static_cast<long long>(found) + 1;
  };
  const long long k = position(u"StreamTitle=");
  const long long s = position(u";");
  const long long start = k + 13;
  const long long length = s - k - 14;
  const auto size = static_cast<long long>(text.size());
  if (length <= 0 || start > size) return {};
  const long long available = size - start + 1;
  return text.substr(static_cast<std::size_t>(start - 1),
                     static_cast<std::size_t>(length < available ? length : available));
}

}  // namespace radiolist
