#include "playback/net/address_reach.h"

#include <netinet/in.h>

#include <cstdint>
#include <cstring>

namespace radiolist::net {

namespace {

bool ownIpv4(std::uint32_t a) {  // host byte order
  const auto in = [a](std::uint32_t net, int bits) {
    return (a >> (32 - bits)) == (net >> (32 - bits));
  };
  return in(0x00000000, 8) || in(0x7f000000, 8) || in(0x0a000000, 8) || in(0xac100000, 12) ||
         in(0xc0a80000, 16) || in(0x64400000, 10) || in(0xa9fe0000, 16);
}

}  // namespace

bool isOwnNetworkAddress(const sockaddr* address, socklen_t length) {
  if (address == nullptr) return true;
  if (address->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    sockaddr_in v4{};
    std::memcpy(&v4, address, sizeof v4);
    return ownIpv4(ntohl(v4.sin_addr.s_addr));
  }
  if (address->sa_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    sockaddr_in6 v6{};
    std::memcpy(&v6, address, sizeof v6);
    const std::uint8_t* b = v6.sin6_addr.s6_addr;
    static constexpr std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::memcmp(b, kMapped, sizeof kMapped) == 0)
      return ownIpv4((std::uint32_t{b[12]} << 24) | (std::uint32_t{b[13]} << 16) |
                     (std::uint32_t{b[14]} << 8) | b[15]);
    static constexpr std::uint8_t kZero[15] = {};
    if (std::memcmp(b, kZero, sizeof kZero) == 0 && b[15] <= 1) return true;  // :: and ::1
    if ((b[0] & 0xfe) == 0xfc) return true;                                   // fc00::/7
    if (b[0] == 0xfe && (b[1] & 0xc0) == 0x80) return true;                   // fe80::/10
    return false;
  }
  return true;
}

}  // namespace radiolist::net
