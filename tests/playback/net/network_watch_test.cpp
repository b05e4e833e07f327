// Which kernel network news means the network may be back, and how news is gathered.

#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "playback/net/network_watch.h"

namespace {

// One rtnetlink message of `type`; for links, with `flags`. `claimed`: the length its header
// states, if not its own.
std::vector<std::byte> message(std::uint16_t type, unsigned flags = 0, std::uint32_t claimed = 0) {
  const std::size_t length = NLMSG_LENGTH(sizeof(ifinfomsg));
  std::vector<std::byte> bytes(NLMSG_ALIGN(length));
  nlmsghdr header{};
  header.nlmsg_len = claimed != 0 ? claimed : static_cast<std::uint32_t>(length);
  header.nlmsg_type = type;
  std::memcpy(bytes.data(), &header, sizeof header);
  ifinfomsg link{};
  link.ifi_flags = flags;
  std::memcpy(bytes.data() + NLMSG_HDRLEN, &link, sizeof link);
  return bytes;
}

std::vector<std::byte> joined(std::initializer_list<std::vector<std::byte>> parts) {
  std::vector<std::byte> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

}  // namespace

TEST(NetworkWatchTest, NewsOfALinkUpAnAddressOrARouteMeansTheNetworkMayBeBack) {
  const auto upAndRunning = message(RTM_NEWLINK, IFF_UP | IFF_RUNNING);
  auto truncated = upAndRunning;
  truncated.resize(sizeof(nlmsghdr) + 2);
  const struct {
    const char* what;
    std::vector<std::byte> batch;
    bool back;
  } cases[] = {
      {"link up and running", upAndRunning, true},
      {"link up, no carrier", message(RTM_NEWLINK, IFF_UP), false},
      {"link down", message(RTM_NEWLINK, IFF_RUNNING), false},
      {"new address", message(RTM_NEWADDR), true},
      {"new route after a removed one", joined({message(RTM_DELROUTE), message(RTM_NEWROUTE)}),
       true},
      {"removals only", joined({message(RTM_DELADDR), message(RTM_DELLINK)}), false},
      {"cut short", truncated, false},
      {"length past the end", message(RTM_NEWLINK, IFF_UP | IFF_RUNNING, 4096), false},
      {"nothing", {}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(radiolist::net::networkCameBack(c.batch), c.back) << c.what;
}

TEST(NewsThrottleTest, FirstNewsActsAtOnceAndLaterNewsBecomesOneActionAtTheWindowsEnd) {
  // 'n': news at `at` ms, 't': the watch wakes at `at` ms; whether that acts, and when gathered
  // news acts afterwards (-1: none waits).
  const struct {
    char kind;
    int at;
    bool acts;
    int due;
  } events[] = {
      {'n', 0, true, -1},       {'n', 100, false, 2000}, {'n', 1900, false, 2000},
      {'t', 1999, false, 2000}, {'t', 2000, true, -1},   {'n', 2500, false, 4000},
      {'t', 4300, true, -1},    {'t', 6000, false, -1},  {'n', 6300, true, -1},
      {'n', 7000, false, 8300}, {'n', 9000, true, -1},  // woken late: acts once, at once
  };
  using Clock = radiolist::net::NewsThrottle::Clock;
  radiolist::net::NewsThrottle throttle(std::chrono::milliseconds(2000));
  const Clock::time_point zero{};
  for (const auto& e : events) {
    const auto at = zero + std::chrono::milliseconds(e.at);
    EXPECT_EQ(e.kind == 'n' ? throttle.news(at) : throttle.tick(at), e.acts) << e.kind << e.at;
    const auto due = throttle.due();
    EXPECT_EQ(due ? (*due - zero) / std::chrono::milliseconds(1) : -1, e.due) << e.kind << e.at;
  }
}
