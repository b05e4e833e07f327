// What holding public pages to the public internet costs, and what ranking candidates costs:
//  - the check every socket of a public page's request passes (isOffLimitsToPublic), with the
//    snapshot of this machine's interface networks in place, for an IPv4 and an IPv6 address;
//  - taking that snapshot again (getifaddrs), as each piece of network news does;
//  - pageCandidates on a 2 MiB page of links with text (the most a page is read), where every
//    link's text is read for words that label a live stream.
//
//   bench_page_reach [ROUNDS]      median of ROUNDS (7) timings of each
#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "playback/formats/page_scan.h"
#include "playback/net/address_reach.h"

namespace {

using Clock = std::chrono::steady_clock;

template <typename F>
double medianMicroseconds(int rounds, F f) {
  std::vector<double> times;
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    f();
    times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  using radiolist::net::isOffLimitsToPublic;
  const std::size_t networks = radiolist::net::refreshInterfaceNetworks();

  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  inet_pton(AF_INET, "192.0.2.1", &v4.sin_addr);
  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  inet_pton(AF_INET6, "2001:db8::1", &v6.sin6_addr);
  constexpr int kChecks = 100000;
  int refused4 = 0;
  int refused6 = 0;
  const double check4 = medianMicroseconds(rounds, [&] {
    for (int i = 0; i < kChecks; ++i)
      refused4 += isOffLimitsToPublic(reinterpret_cast<const sockaddr*>(&v4), sizeof v4) ? 1 : 0;
  });
  const double check6 = medianMicroseconds(rounds, [&] {
    for (int i = 0; i < kChecks; ++i)
      refused6 += isOffLimitsToPublic(reinterpret_cast<const sockaddr*>(&v6), sizeof v6) ? 1 : 0;
  });
  const double refresh =
      medianMicroseconds(rounds, [] { radiolist::net::refreshInterfaceNetworks(); });

  std::string page = "<html><body>";
  for (int i = 0; page.size() < radiolist::formats::kMaxPageBytes - 200; ++i) {
    page += "<a class=\"item\" href=\"/media/" + std::to_string(i) +
            ".mp3\"><span>Episode</span> of the morning show, listen again</a>\n";
  }
  page += "</body></html>";
  std::size_t found = 0;
  const double scan = medianMicroseconds(rounds, [&] {
    found = radiolist::formats::pageCandidates(page, "https://radio.example/", false).size();
  });

  std::printf("interface networks in the snapshot: %zu\n", networks);
  // Refused when this machine's own networks hold the address (a documentation network is a
  // LAN on some test machines): the check costs the same either way.
  std::printf("socket check, 192.0.2.1: %.1f ns a socket (%s)\n", check4 * 1000.0 / kChecks,
              refused4 > 0 ? "refused: a network of this machine" : "allowed");
  std::printf("socket check, 2001:db8::1: %.1f ns a socket (%s)\n", check6 * 1000.0 / kChecks,
              refused6 > 0 ? "refused: a network of this machine" : "allowed");
  std::printf("snapshot taken again: %.1f us\n", refresh);
  std::printf("pageCandidates on %zu bytes (%zu candidates): %.1f ms\n", page.size(), found,
              scan / 1000.0);
  return 0;
}
