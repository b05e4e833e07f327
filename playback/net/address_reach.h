#pragma once
// Which addresses a connection may reach. A station's page found on the internet must not make
// the player knock on the user's own network (a router's admin page, a printer, a service on
// this machine), whatever its links' names resolve to or its redirects lead to: such streams
// connect with Reach::PublicOnly, and every socket curl would open is checked first.

#include <sys/socket.h>

#include <cstddef>
#include <string_view>

namespace radiolist::net {

enum class Reach { Anywhere, PublicOnly };

// True for an address in the ranges of local_range.h (loopback, private, link-local and the
// like, IPv4 mapped into IPv6 by the IPv4 rules). Other families count as local. Pure.
[[nodiscard]] bool isOwnNetworkAddress(const sockaddr* address, socklen_t length);

// What a PublicOnly connection never reaches: isOwnNetworkAddress(), and also the networks of
// this machine's own interfaces (a global IPv6 or public IPv4 address of this machine, and its
// neighbours on the same link), as the latest snapshot of them says. The snapshot is taken at
// the first call and again at each refreshInterfaceNetworks(); reading it is a short lock and a
// scan of at most kMaxInterfaceNetworks, fit for curl's socket callback on the network thread.
[[nodiscard]] bool isOffLimitsToPublic(const sockaddr* address, socklen_t length);
// The same for an IP literal as text ("192.0.2.1", "2001:db8::1", no brackets); false for
// anything that is not one (a name says nothing until resolved).
[[nodiscard]] bool isOffLimitsToPublic(std::string_view ipLiteral);

// Takes the snapshot again (getifaddrs). Called by the network watch on news; may wait for the
// kernel briefly, so never on the window's thread. Returns the networks kept.
std::size_t refreshInterfaceNetworks();

// At most this many interface networks are kept; more are dropped (and their addresses judged
// only by the ranges).
inline constexpr std::size_t kMaxInterfaceNetworks = 1024;

}  // namespace radiolist::net
