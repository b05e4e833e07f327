// Any answer from any mirror: reading it never crashes, stays within its caps, and every row is
// a distinct http(s) address with one-line, safe text; a public mirror's rows never name the
// user's own network. Also the click's answer and a DNS answer's SRV records.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <span>
#include <string_view>

#include "playback/directory/mirrors.h"
#include "playback/directory/station_list.h"
#include "playback/formats/page_scan.h"
#include "text/ascii.h"
#include "text/hidden.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace radiolist::directory;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  for (const Origin origin : {Origin::Public, Origin::Local}) {
    const StationList list = parseStations(bytes, origin);
    if (list.stations.size() > kMaxStationsPerPage) std::abort();
    if (list.error != ParseError::None && !list.stations.empty()) std::abort();
    std::set<std::string> urls;
    for (const Station& s : list.stations) {
      if (!radiolist::text::startsWithIgnoringCase(s.url, "http://") &&
          !radiolist::text::startsWithIgnoringCase(s.url, "https://"))
        std::abort();
      if (!urls.insert(s.url).second) std::abort();
      if (origin == Origin::Public &&
          radiolist::formats::isLocalHost(radiolist::formats::urlHost(s.url)))
        std::abort();
      if (s.name.size() > kMaxNameBytes || s.tags.size() > kMaxTagsBytes ||
          s.country.size() > kMaxCountryBytes || s.codec.size() > kMaxCodecBytes ||
          s.uuid.size() > kMaxUuidBytes)
        std::abort();
      for (const std::string* t : {&s.name, &s.tags, &s.country, &s.codec})
        if (radiolist::text::hasHidden(*t)) std::abort();
    }
  }
  (void)clickCounted(bytes);
  if (parseSrvAnswer(std::span(data, size)).size() > kMaxMirrors) std::abort();
  return 0;
}
