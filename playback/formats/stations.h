#pragma once
// Stations as people bring them: playlist files, other players' station lists and addresses
// dropped or pasted as text; and the list going out again as an extended M3U. Pure C++: bytes
// in, stations out; no I/O, no threads, linear in the input, safe on any bytes, bounded. The
// playlist readers are the ones playlistEntries() uses, so a file imports as the library plays it.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "playback/formats/playlist.h"

namespace radiolist::formats {

struct Station {
  std::string name;  // UTF-8, one line, at most kMaxStationNameBytes; "" when the source gave none
  std::string url;   // absolute http/https, as resolveUrl() gives it
  friend bool operator==(const Station&, const Station&) = default;
};

inline constexpr std::size_t kMaxImportStations = 10'000;
inline constexpr std::size_t kMaxImportBytes = std::size_t{16} << 20;
inline constexpr std::size_t kMaxStationNameBytes = 1024;

enum class StationSource {
  M3u,
  Pls,
  Xspf,
  Asx,
  Reference,
  PyradioCsv,
  RadiotrayJson,
  GoodvibesXml,
  Addresses,
  Hls,
  Unknown
};

// Entries a file or text named that were not taken, by why.
struct LeftOut {
  std::size_t overCap = 0;   // past kMaxImportStations
  std::size_t notWeb = 0;    // not an http/https address (a relative one without an http base)
  std::size_t notPlain = 0;  // line breaks, NUL, control or invisible characters (text/hidden.h)
  std::size_t tooLong = 0;   // longer than kMaxEntryBytes
  [[nodiscard]] std::size_t total() const { return overCap + notWeb + notPlain + tooLong; }
  LeftOut& operator+=(const LeftOut& more) {
    overCap += more.overCap;
    notWeb += more.notWeb;
    notPlain += more.notPlain;
    tooLong += more.tooLong;
    return *this;
  }
  friend bool operator==(const LeftOut&, const LeftOut&) = default;
};

struct StationsFound {
  StationSource source = StationSource::Unknown;
  std::vector<Station> stations;  // in order, at most kMaxImportStations
  bool cut = false;               // more were there than the cap
  LeftOut leftOut;                // what the file named but `stations` does not hold
};

// The stations in a file's bytes. `fileName` (the name only, e.g. "stations.csv") helps tell the
// other players' formats apart; `baseUrl` is the file's own address for relative entries
// ("file:///home/u/x.pls" gives nothing for relative entries, an http base resolves them).
// An HLS playlist (#EXT-X-... tags) gives source Hls and no stations (its address is the
// station, never its segments); bytes beyond kMaxImportBytes are not read.
//
// A playlist item with several addresses (an XSPF track's locations, an ASX entry's refs) is one
// station: its first address that resolves. Names come from #EXTINF, TitleN=, an XSPF track's
// <title> (else <creator>, else the playlist's <title> when it has one track), an ASX entry's
// <title> (else the ASX's own when it has one entry), and the other players' name fields.
// Names have the hidden characters of text/hidden.h replaced by '_'; an address holding one is
// left out (counted in leftOut.notPlain), as is one that does not resolve or is too long.
[[nodiscard]] StationsFound stationsInFile(std::string_view bytes, std::string_view fileName,
                                           std::string_view baseUrl);

// Addresses dropped or pasted as text: text/uri-list (lines, '#' comments) or plain text, one
// per line; only http/https; names empty.
[[nodiscard]] StationsFound stationsInText(std::string_view text);

// A name for a station that has none: the address's host without "www." (e.g. "radio.example"),
// lower-cased; "" when the address has no host.
[[nodiscard]] std::string nameFromAddress(std::string_view url);

// The list as an extended M3U: "#EXTM3U\n", then "#EXTINF:-1,<name>\n<url>\n" per station, UTF-8
// (line breaks inside a name become spaces). stationsInFile() of it gives the same stations back
// (names without surrounding blanks).
[[nodiscard]] std::string extendedM3u(std::span<const Station> stations);

}  // namespace radiolist::formats
