#pragma once
// The directory's answers read into rows: a station list (search, byuuid) and a click's answer.
// Pure C++: bytes in, rows out; no I/O, no threads, linear in the input, bounded, safe on any
// bytes. JSON is read as events (nlohmann's sax), so nothing but the rows is kept and nesting
// past kMaxJsonDepth ends the read before anything deeper is looked at.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "playback/net/address_reach.h"

namespace radiolist::directory {

// What one answer may hold. A page asks for at most kMaxStationsPerPage; more is not read.
inline constexpr std::size_t kMaxResponseBytes = std::size_t{4} << 20;
inline constexpr std::size_t kMaxStationsPerPage = 500;
inline constexpr int kMaxJsonDepth = 16;
// Caps of the shown fields (bytes, UTF-8, never cut inside a character).
inline constexpr std::size_t kMaxNameBytes = 256;
inline constexpr std::size_t kMaxTagsBytes = 256;
inline constexpr std::size_t kMaxTagBytes = 64;
inline constexpr std::size_t kMaxCountryBytes = 64;
inline constexpr std::size_t kMaxCodecBytes = 32;
inline constexpr std::size_t kMaxUuidBytes = 64;
// A station address longer than this is no station's (a list line must stay readable).
inline constexpr std::size_t kMaxStationUrlBytes = 4096;

// Who answered decides where its stations may lead. A public directory's entry never leads to a
// connection to the user's own network; a directory that is itself on that network (one the
// user runs, named in RADIOLIST_DIRECTORY) may list stations there.
enum class Origin { Public, Local };

struct Station {
  std::string uuid;     // the directory's id, lower-case hex and '-'; "" when it gave none usable
  std::string name;     // one line, hidden characters as '_', at most kMaxNameBytes
  std::string url;      // url_resolved (else url): a plausible http or https address
  std::string country;  // one line, at most kMaxCountryBytes
  std::string countryCode;    // two upper-case ASCII letters, or ""
  std::string codec;          // one line, at most kMaxCodecBytes ("MP3", "AAC+", ...)
  std::string tags;           // comma-separated, each one line and trimmed, at most kMaxTagsBytes
  std::uint32_t bitrate = 0;  // kbit/s, 0 when unknown
  std::int64_t votes = 0;     // never negative
  bool lastCheckOk = false;   // the directory's last check found it playing
  // How a player of the station may connect: PublicOnly for a public directory's entries, whose
  // names may still resolve to the user's own network.
  net::Reach reach = net::Reach::PublicOnly;
  friend bool operator==(const Station&, const Station&) = default;
};

// Entries of the answer that did not become rows, by why.
struct Dropped {
  std::size_t notWeb = 0;      // no address, not http(s), blanks, hidden characters, too long
  std::size_t local = 0;       // a public directory's entry naming the user's own network
  std::size_t duplicate = 0;   // a stream address an earlier row has
  std::size_t notStation = 0;  // an array element that is not an object
  friend bool operator==(const Dropped&, const Dropped&) = default;
};

enum class ParseError {
  None,
  NotJson,   // a syntax error (or invalid UTF-8) before the end
  TooDeep,   // nested past kMaxJsonDepth
  NotAList,  // valid JSON, but not an array (an error object, say)
};

struct StationList {
  std::vector<Station> stations;  // in the directory's order, at most kMaxStationsPerPage
  Dropped dropped;
  bool cut = false;  // the answer held more entries than kMaxStationsPerPage; the rest unread
  ParseError error = ParseError::None;  // with an error, `stations` is empty
  std::size_t errorAt = 0;              // byte offset of the error
};

// The rows of a station list (the answer of /json/stations/search or /json/stations/byuuid).
// Addresses: url_resolved, else url; one row per address (later duplicates dropped).
[[nodiscard]] StationList parseStations(std::string_view json, Origin origin);

// Whether a click's answer (/json/url/<uuid>) says it was counted: an object with "ok": true.
[[nodiscard]] bool clickCounted(std::string_view json);

// A text the directory gave, made fit to show in one line: valid UTF-8, control characters as
// spaces, the hidden ones of text/hidden.h as '_', blanks around it trimmed, at most maxBytes.
[[nodiscard]] std::string shownText(std::string_view raw, std::size_t maxBytes);

}  // namespace radiolist::directory
