#pragma once
// The directory's request paths, built from what the user asked. Pure.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace radiolist::directory {

enum class Order { Name, Votes, ClickCount, Bitrate, LastCheckOk, Random };

// A search. Empty texts are left out of the request; every text is cut to kMaxQueryTextBytes and
// sent percent-encoded, so a user's text never reaches the request line raw.
struct Query {
  std::string name;              // part of the station's name
  std::string tag;               // part of a tag
  std::string country;           // part of the country's name
  std::string countryCode;       // two letters (ISO 3166-1)
  std::string codec;             // "MP3", "AAC", ... (the directory compares it whole)
  std::uint32_t bitrateMin = 0;  // kbit/s; 0 for any
  Order order = Order::Votes;
  bool reverse = true;      // with Votes: the most voted first
  bool hideBroken = true;   // only stations the directory's last check found playing
  std::size_t limit = 100;  // 1..kMaxStationsPerPage
  std::size_t offset = 0;
};

inline constexpr std::size_t kMaxQueryTextBytes = 200;
// byuuid asks for at most this many at once.
inline constexpr std::size_t kMaxUuidsPerRequest = 100;

// "/json/stations/search?..." for `query`.
[[nodiscard]] std::string searchPath(const Query& query);
// "/json/stations/byuuid?uuids=a,b"; uuids that are not the directory's kind (hex and '-') are
// left out, and at most kMaxUuidsPerRequest taken. "" when none is left.
[[nodiscard]] std::string byUuidPath(std::span<const std::string> uuids);
// "/json/url/<uuid>", the click; "" for a uuid that is not the directory's kind.
[[nodiscard]] std::string clickPath(std::string_view uuid);

// `text` with every byte but the unreserved ones (RFC 3986) as %XX.
[[nodiscard]] std::string percentEncoded(std::string_view text);

}  // namespace radiolist::directory
