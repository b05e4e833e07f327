// Any body under any content type: classifying and listing never crash, stay bounded, and every
// entry is an http(s) address that resolves to itself.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "playback/formats/playlist.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace radiolist::formats;
  static constexpr std::array<std::string_view, 8> kTypes = {"",
                                                             "audio/mpeg",
                                                             "audio/x-mpegurl",
                                                             "audio/x-scpls",
                                                             "application/xspf+xml",
                                                             "video/x-ms-asf",
                                                             "text/plain",
                                                             "application/vnd.apple.mpegurl"};
  static constexpr std::array<std::string_view, 4> kBases = {
      "http://h:8000/dir/list.m3u?q=1", "https://h/", "", "file:///tmp/list.m3u"};
  if (size == 0) return 0;
  const std::string_view type = kTypes[data[0] % kTypes.size()];
  const std::string_view base = kBases[(data[0] >> 3) % kBases.size()];
  const std::string_view body(reinterpret_cast<const char*>(data) + 1, size - 1);

  (void)classifyBody(type, body.substr(0, 1024));
  (void)classifyBody(type, body);
  const auto entries = playlistEntries(body, base);
  if (entries.size() > kMaxEntries) std::abort();
  for (const auto& e : entries) {
    if (!e.starts_with("http://") && !e.starts_with("https://")) std::abort();
    if (e.size() > kMaxEntryBytes) std::abort();
    if (resolveUrl(base, e) != e) std::abort();
  }
  return 0;
}
