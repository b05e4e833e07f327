#include "playback/net/address_reach.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "playback/log/log.h"
#include "playback/net/local_range.h"
#include "playback/net/log_domain.h"

namespace radiolist::net {

namespace {

using Bytes = std::array<std::uint8_t, 16>;  // IPv4 as mapped into IPv6

// A network of one of this machine's interfaces. Prefixes are never wider than /16 (IPv4) or
// /48 (IPv6): a tunnel that claims half the internet must not make the whole of it off limits.
struct Network {
  Bytes address{};
  int prefix = 128;
};

bool inNetwork(const Bytes& a, const Network& n) {
  const int whole = n.prefix / 8;
  if (std::memcmp(a.data(), n.address.data(), static_cast<std::size_t>(whole)) != 0) return false;
  const int bits = n.prefix % 8;
  if (bits == 0) return true;
  const auto mask = static_cast<std::uint8_t>(0xff << (8 - bits));
  return (a[static_cast<std::size_t>(whole)] & mask) ==
         (n.address[static_cast<std::size_t>(whole)] & mask);
}

Bytes mapped(const in_addr& v4) {
  Bytes b{};
  b[10] = b[11] = 0xff;
  std::memcpy(b.data() + 12, &v4, 4);
  return b;
}

// Address bytes of a socket address; false for other families or short lengths.
bool bytesOf(const sockaddr* address, socklen_t length, Bytes& out) {
  if (address == nullptr) return false;
  if (address->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    sockaddr_in v4{};
    std::memcpy(&v4, address, sizeof v4);
    out = mapped(v4.sin_addr);
    return true;
  }
  if (address->sa_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    sockaddr_in6 v6{};
    std::memcpy(&v6, address, sizeof v6);
    std::memcpy(out.data(), v6.sin6_addr.s6_addr, 16);
    return true;
  }
  return false;
}

int prefixOf(const sockaddr* mask, bool v4) {
  Bytes m{};
  int prefix = 128;
  if (mask != nullptr && bytesOf(mask, v4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6), m)) {
    prefix = 0;
    for (std::size_t i = v4 ? 12 : 0; i < 16 && m[i] == 0xff; ++i) prefix += 8;
    if (prefix < (v4 ? 32 : 128)) {
      for (std::uint8_t byte = m[static_cast<std::size_t>((v4 ? 12 : 0) + prefix / 8)];
           (byte & 0x80) != 0; byte = static_cast<std::uint8_t>(byte << 1))
        ++prefix;
    }
    if (v4) prefix += 96;
  }
  return std::max(prefix, v4 ? 96 + 16 : 48);
}

struct Snapshot {
  std::mutex mutex;
  std::shared_ptr<const std::vector<Network>> networks;  // null until the first snapshot
};

Snapshot& snapshot() {
  static Snapshot* const s = new Snapshot;  // never destroyed: curl callbacks may run late
  return *s;
}

std::shared_ptr<const std::vector<Network>> currentNetworks() {
  Snapshot& s = snapshot();
  {
    const std::lock_guard lock(s.mutex);
    if (s.networks) return s.networks;
  }
  refreshInterfaceNetworks();
  const std::lock_guard lock(s.mutex);
  return s.networks;
}

bool offLimits(const Bytes& b) {
  if (isLocalIpv6(b.data())) return true;  // IPv4 goes by its own rules through the mapping
  const auto networks = currentNetworks();
  if (!networks) return false;
  return std::any_of(networks->begin(), networks->end(),
                     [&](const Network& n) { return inNetwork(b, n); });
}

}  // namespace

bool isOwnNetworkAddress(const sockaddr* address, socklen_t length) {
  Bytes b{};
  if (!bytesOf(address, length, b)) return true;
  return isLocalIpv6(b.data());
}

bool isOffLimitsToPublic(const sockaddr* address, socklen_t length) {
  Bytes b{};
  if (!bytesOf(address, length, b)) return true;
  return offLimits(b);
}

bool isOffLimitsToPublic(std::string_view ipLiteral) {
  if (ipLiteral.empty() || ipLiteral.size() > INET6_ADDRSTRLEN) return false;
  const std::string text(ipLiteral.substr(0, ipLiteral.find('%')));
  Bytes b{};
  in_addr v4{};
  if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
    b = mapped(v4);
  } else if (inet_pton(AF_INET6, text.c_str(), b.data()) != 1) {
    return false;
  }
  return offLimits(b);
}

std::size_t refreshInterfaceNetworks() {
  auto networks = std::make_shared<std::vector<Network>>();
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) {
    log::warning(net::kNetLog, "cannot list this machine's addresses: ", std::strerror(errno));
  } else {
    for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
      if (i->ifa_addr == nullptr) continue;
      const bool v4 = i->ifa_addr->sa_family == AF_INET;
      if (!v4 && i->ifa_addr->sa_family != AF_INET6) continue;
      Network n;
      if (!bytesOf(i->ifa_addr, v4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6), n.address))
        continue;
      n.prefix = prefixOf(i->ifa_netmask, v4);
      if (networks->size() == kMaxInterfaceNetworks) break;
      networks->push_back(n);
    }
    ::freeifaddrs(list);
  }
  const std::size_t kept = networks->size();
  Snapshot& s = snapshot();
  const std::lock_guard lock(s.mutex);
  s.networks = std::move(networks);
  return kept;
}

}  // namespace radiolist::net
