// Which socket addresses are this machine's own networks.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "playback/formats/page_scan.h"
#include "playback/net/address_reach.h"

namespace {

using radiolist::net::isOwnNetworkAddress;

TEST(AddressReach, OwnNetworksAreLoopbackPrivateSharedAndLinkLocal) {
  const struct {
    const char* address;
    bool own;
  } cases[] = {
      {"127.0.0.1", true},
      {"127.255.0.9", true},
      {"0.0.0.0", true},
      {"10.1.2.3", true},
      {"172.16.0.1", true},
      {"172.31.255.255", true},
      {"172.32.0.1", false},
      {"192.168.1.1", true},
      {"192.169.0.1", false},
      {"100.64.0.1", true},
      {"100.128.0.1", false},
      {"169.254.10.1", true},
      {"8.8.8.8", false},
      {"::1", true},
      {"::", true},
      {"fc00::1", true},
      {"fd12::1", true},
      {"fe80::1", true},
      {"febf::1", true},
      {"fec0::1", true},
      {"feff::1", true},
      {"255.255.255.255", true},
      {"fbff::1", false},
      {"2001:db8::1", false},
      {"::ffff:10.0.0.1", true},
      {"::ffff:8.8.8.8", false},
  };
  for (const auto& c : cases) {
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    if (inet_pton(AF_INET, c.address, &v4.sin_addr) == 1) {
      v4.sin_family = AF_INET;
      EXPECT_EQ(isOwnNetworkAddress(reinterpret_cast<sockaddr*>(&v4), sizeof v4), c.own)
          << c.address;
    } else {
      ASSERT_EQ(inet_pton(AF_INET6, c.address, &v6.sin6_addr), 1) << c.address;
      v6.sin6_family = AF_INET6;
      EXPECT_EQ(isOwnNetworkAddress(reinterpret_cast<sockaddr*>(&v6), sizeof v6), c.own)
          << c.address;
    }
    // One definition: a page's literal host is judged as the socket it leads to.
    EXPECT_EQ(radiolist::formats::isLocalHost(c.address), c.own) << c.address;
    // What is local is off limits to public pages whatever this machine's interfaces are.
    if (c.own) {
      EXPECT_TRUE(radiolist::net::isOffLimitsToPublic(c.address)) << c.address;
    }
  }
  sockaddr_in shortAddress{};
  shortAddress.sin_family = AF_INET;
  EXPECT_TRUE(isOwnNetworkAddress(reinterpret_cast<sockaddr*>(&shortAddress), 4))
      << "what cannot be read is not trusted";
}

}  // namespace
