#pragma once
// The one definition of the address ranges that are this machine or its own networks, shared by
// the check of literal hosts (formats::isLocalHost) and the check of every socket a public page's
// request would open (net::isOwnNetworkAddress). Header-only and pure, so that the layer of page
// scanning can use it without the transport.

#include <cstdint>
#include <cstring>

namespace radiolist::net {

// `a` in host byte order: "this network" (0/8), loopback, private (10/8, 172.16/12,
// 192.168/16), shared (100.64/10), link-local (169.254/16) and the broadcast address.
[[nodiscard]] constexpr bool isLocalIpv4(std::uint32_t a) {
  const auto in = [a](std::uint32_t net, int bits) {
    return (a >> (32 - bits)) == (net >> (32 - bits));
  };
  return in(0x00000000, 8) || in(0x7f000000, 8) || in(0x0a000000, 8) || in(0xac100000, 12) ||
         in(0xc0a80000, 16) || in(0x64400000, 10) || in(0xa9fe0000, 16) || a == 0xffffffff;
}

// Loopback and unspecified, unique-local (fc00::/7), link-local (fe80::/10), the old
// site-local (fec0::/10: deprecated, yet a network that still uses it is a private one), and
// IPv4 addresses mapped into IPv6 by the IPv4 rules.
[[nodiscard]] inline bool isLocalIpv6(const std::uint8_t* b) {  // 16 bytes
  static constexpr std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (std::memcmp(b, kMapped, sizeof kMapped) == 0)
    return isLocalIpv4((std::uint32_t{b[12]} << 24) | (std::uint32_t{b[13]} << 16) |
                       (std::uint32_t{b[14]} << 8) | b[15]);
  static constexpr std::uint8_t kZero[15] = {};
  if (std::memcmp(b, kZero, sizeof kZero) == 0 && b[15] <= 1) return true;  // :: and ::1
  if ((b[0] & 0xfe) == 0xfc) return true;                                   // fc00::/7
  return b[0] == 0xfe && (b[1] & 0x80) == 0x80;  // fe80::/10 and fec0::/10
}

}  // namespace radiolist::net
