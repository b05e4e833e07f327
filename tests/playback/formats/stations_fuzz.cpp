// Any file under any name and base: importing never crashes, stays within its caps, and every
// station is an http(s) address that resolves to itself with a one-line name.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "playback/formats/stations.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace radiolist::formats;
  static constexpr std::array<std::string_view, 6> kNames = {
      "", "stations.csv", "bookmarks.json", "list.m3u8", "stations.xml", "x.pls"};
  static constexpr std::array<std::string_view, 3> kBases = {"http://h:8000/dir/list?q=1", "",
                                                             "file:///home/u/list.xspf"};
  if (size == 0) return 0;
  const std::string_view name = kNames[data[0] % kNames.size()];
  const std::string_view base = kBases[(data[0] >> 4) % kBases.size()];
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

  for (const StationsFound& found : {stationsInFile(bytes, name, base), stationsInText(bytes)}) {
    if (found.stations.size() > kMaxImportStations) std::abort();
    for (const Station& s : found.stations) {
      if (!s.url.starts_with("http://") && !s.url.starts_with("https://")) std::abort();
      if (resolveUrl(base, s.url) != s.url) std::abort();
      if (s.name.size() > kMaxStationNameBytes) std::abort();
      for (const char c : s.name)
        if (c == '\n' || c == '\r') std::abort();
    }
    if (stationsInFile(extendedM3u(found.stations), "", "").stations.size() !=
        found.stations.size())
      std::abort();
  }
  return 0;
}
