#pragma once
// Which addresses a connection may reach. A station's page found on the internet must not make
// the player knock on the user's own network (a router's admin page, a printer, a service on
// this machine), whatever its links' names resolve to or its redirects lead to: such streams
// connect with Reach::PublicOnly, and every socket curl would open is checked first.

#include <sys/socket.h>

namespace radiolist::net {

enum class Reach { Anywhere, PublicOnly };

// True for an address of this machine or its own networks: IPv4 loopback, "this network"
// (0/8), private (10/8, 172.16/12, 192.168/16), shared (100.64/10) and link-local (169.254/16)
// addresses; IPv6 loopback, unspecified, unique-local (fc00::/7) and link-local (fe80::/10)
// addresses, and IPv4 addresses mapped into IPv6 by the IPv4 rules. Other families count as
// local. Pure.
[[nodiscard]] bool isOwnNetworkAddress(const sockaddr* address, socklen_t length);

}  // namespace radiolist::net
