#pragma once
// Which directory servers to ask, and in what order. The directory runs several mirrors under
// radio-browser.info: a client finds them in the DNS (the SRV records of kSrvName, else the
// addresses of kRoundRobinHost turned back into names, which TLS needs), shuffles them so that
// clients spread, and moves on to the next when one fails. RADIOLIST_DIRECTORY names mirrors
// instead (tests, a self-hosted mirror).
//
// The order and the parsing of names and answers are pure; srvMirrors() and reverseMirrors()
// ask the DNS and may wait for it for seconds: never on the window's thread.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "playback/directory/station_list.h"
#include "playback/net/address_reach.h"

namespace radiolist::directory {

inline constexpr std::string_view kSrvName = "_api._tcp.radio-browser.info";
inline constexpr std::string_view kRoundRobinHost = "all.api.radio-browser.info";
inline constexpr std::size_t kMaxMirrors = 16;

struct Mirror {
  std::string
      base;  // scheme, host, port and path, no trailing '/': "https://de1.api.radio-browser.info"
  net::Reach reach = net::Reach::PublicOnly;  // what the requests to it may connect to
  Origin stations = Origin::Public;           // where the stations it lists may lead
  friend bool operator==(const Mirror&, const Mirror&) = default;
};

// RADIOLIST_DIRECTORY's value: http or https base addresses separated by commas. A mirror on the
// user's own network (localhost, *.local, a loopback or private address literal) is the user's:
// it may be reached, and so may the stations it lists. Any other is held to the public rule.
// Entries that are not such addresses (or carry a query) are left out; at most kMaxMirrors.
[[nodiscard]] std::vector<Mirror> mirrorsFromList(std::string_view value);

// A host name the DNS gave as a public mirror over https (the port named unless 443); nullopt
// for anything but a plain DNS name, and for a local one.
[[nodiscard]] std::optional<Mirror> mirrorForHost(std::string_view host, std::uint16_t port);

struct SrvTarget {
  std::uint16_t priority = 0;
  std::uint16_t weight = 0;
  std::uint16_t port = 0;
  std::string host;  // without the trailing '.'
  friend bool operator==(const SrvTarget&, const SrvTarget&) = default;
};
// The SRV records in a DNS answer message (as res_nquery returns it); malformed records are
// skipped, a malformed message gives none; at most kMaxMirrors.
[[nodiscard]] std::vector<SrvTarget> parseSrvAnswer(std::span<const unsigned char> message);

// The mirrors to ask, in order: those of the SRV records, else those the round-robin addresses
// name, else the round-robin name itself; each host once, shuffled by `random`; the remembered
// one (a base) first when it is among them.
[[nodiscard]] std::vector<Mirror> discoveredOrder(std::vector<Mirror> srv,
                                                  std::vector<Mirror> reverse,
                                                  std::string_view remembered,
                                                  std::mt19937& random);
// Named mirrors keep the user's order, but the remembered one goes first.
[[nodiscard]] std::vector<Mirror> rememberedFirst(std::vector<Mirror> mirrors,
                                                  std::string_view remembered);

// Asks the DNS (blocking, seconds at worst).
[[nodiscard]] std::vector<Mirror> srvMirrors();
[[nodiscard]] std::vector<Mirror> reverseMirrors();

}  // namespace radiolist::directory
