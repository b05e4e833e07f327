#include "playback/directory/mirrors.h"

#include <arpa/nameser.h>
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "playback/formats/page_scan.h"
#include "playback/log/log.h"
#include "playback/net/log_domain.h"
#include "playback/net/url_check.h"
#include "text/ascii.h"

namespace radiolist::directory {
namespace {

constexpr std::size_t kMaxHostBytes = 253;

bool isPlainHostName(std::string_view host) {
  if (host.empty() || host.size() > kMaxHostBytes || host.front() == '.' || host.front() == '-' ||
      host.find("..") != std::string_view::npos)
    return false;
  return std::all_of(host.begin(), host.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
  });
}

void addOnce(std::vector<Mirror>& to, Mirror mirror) {
  if (to.size() >= kMaxMirrors) return;
  if (std::none_of(to.begin(), to.end(), [&](const Mirror& m) { return m.base == mirror.base; }))
    to.push_back(std::move(mirror));
}

}  // namespace

std::vector<Mirror> mirrorsFromList(std::string_view value) {
  std::vector<Mirror> mirrors;
  while (!value.empty()) {
    const std::size_t comma = std::min(value.find(','), value.size());
    std::string_view entry = text::trimmed(value.substr(0, comma));
    value.remove_prefix(std::min(comma + 1, value.size()));
    while (entry.ends_with('/')) entry.remove_suffix(1);
    if (entry.empty()) continue;
    if (!net::isPlausibleStreamUrl(entry) || entry.find_first_of("?#") != std::string_view::npos) {
      log::warning(net::kNetLog, "RADIOLIST_DIRECTORY: not a directory address, left out: ", entry);
      continue;
    }
    Mirror mirror;
    mirror.base = entry;
    if (formats::isLocalHost(formats::urlHost(entry))) {
      mirror.reach = net::Reach::Anywhere;
      mirror.stations = Origin::Local;
    }
    addOnce(mirrors, std::move(mirror));
  }
  return mirrors;
}

std::optional<Mirror> mirrorForHost(std::string_view host, std::uint16_t port) {
  while (host.ends_with('.')) host.remove_suffix(1);
  const std::string name = text::lowered(host);
  if (!isPlainHostName(name) || formats::isLocalHost(name) || port == 0) return std::nullopt;
  Mirror mirror;
  mirror.base = "https://" + name;
  if (port != 443) mirror.base += ":" + std::to_string(port);
  return mirror;
}

std::vector<SrvTarget> parseSrvAnswer(std::span<const unsigned char> message) {
  std::vector<SrvTarget> targets;
  ns_msg handle{};
  if (message.empty() || message.size() > 65535 ||
      ns_initparse(message.data(), static_cast<int>(message.size()), &handle) != 0)
    return targets;
  const int count = ns_msg_count(handle, ns_s_an);
  for (int i = 0; i < count && targets.size() < kMaxMirrors; ++i) {
    ns_rr rr{};
    if (ns_parserr(&handle, ns_s_an, i, &rr) != 0) break;
    if (ns_rr_type(rr) != ns_t_srv || ns_rr_class(rr) != ns_c_in || ns_rr_rdlen(rr) < 7) continue;
    const unsigned char* rdata = ns_rr_rdata(rr);
    SrvTarget target;
    target.priority = static_cast<std::uint16_t>((rdata[0] << 8) | rdata[1]);
    target.weight = static_cast<std::uint16_t>((rdata[2] << 8) | rdata[3]);
    target.port = static_cast<std::uint16_t>((rdata[4] << 8) | rdata[5]);
    char name[NS_MAXDNAME];
    // The target may be compressed against the message, though RFC 2782 says it should not be.
    if (dn_expand(ns_msg_base(handle), ns_msg_end(handle), rdata + 6, name, sizeof name) < 0)
      continue;
    target.host = name;
    while (target.host.ends_with('.')) target.host.pop_back();
    if (target.host.empty()) continue;  // "." means the service is not offered
    targets.push_back(std::move(target));
  }
  return targets;
}

std::vector<Mirror> discoveredOrder(std::vector<Mirror> srv, std::vector<Mirror> reverse,
                                    std::string_view remembered, std::mt19937& random) {
  std::vector<Mirror> found;
  for (Mirror& m : srv.empty() ? reverse : srv) addOnce(found, std::move(m));
  if (found.empty()) {
    if (auto fallback = mirrorForHost(kRoundRobinHost, 443)) found.push_back(std::move(*fallback));
  }
  std::shuffle(found.begin(), found.end(), random);
  return rememberedFirst(std::move(found), remembered);
}

std::vector<Mirror> rememberedFirst(std::vector<Mirror> mirrors, std::string_view remembered) {
  const auto it = std::find_if(mirrors.begin(), mirrors.end(),
                               [&](const Mirror& m) { return m.base == remembered; });
  if (it != mirrors.end()) std::rotate(mirrors.begin(), it, it + 1);
  return mirrors;
}

std::vector<Mirror> srvMirrors() {
  std::vector<Mirror> mirrors;
  struct __res_state state {};
  if (res_ninit(&state) != 0) {
    log::warning(net::kNetLog, "directory: cannot set up the DNS resolver");
    return mirrors;
  }
  std::vector<unsigned char> answer(8192);
  const std::string name(kSrvName);
  const int length = res_nquery(&state, name.c_str(), ns_c_in, ns_t_srv, answer.data(),
                                static_cast<int>(answer.size()));
  res_nclose(&state);
  if (length <= 0) {
    log::write(net::kNetLog, "directory: no SRV records for ", kSrvName);
    return mirrors;
  }
  // A longer answer was cut to the buffer (and is then malformed at its end).
  answer.resize(std::min(static_cast<std::size_t>(length), answer.size()));
  for (const SrvTarget& target : parseSrvAnswer(answer))
    if (auto mirror = mirrorForHost(target.host, target.port)) addOnce(mirrors, std::move(*mirror));
  log::write(net::kNetLog, "directory: ", mirrors.size(), " mirrors from SRV records");
  return mirrors;
}

std::vector<Mirror> reverseMirrors() {
  std::vector<Mirror> mirrors;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string host(kRoundRobinHost);
  if (const int error = ::getaddrinfo(host.c_str(), "443", &hints, &found); error != 0) {
    log::write(net::kNetLog, "directory: ", kRoundRobinHost, ": ", gai_strerror(error));
    return mirrors;
  }
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, &::freeaddrinfo);
  std::size_t asked = 0;
  for (const addrinfo* a = found; a != nullptr && asked < kMaxMirrors; a = a->ai_next, ++asked) {
    char name[NI_MAXHOST];
    if (::getnameinfo(a->ai_addr, a->ai_addrlen, name, sizeof name, nullptr, 0, NI_NAMEREQD) != 0)
      continue;
    if (auto mirror = mirrorForHost(name, 443)) addOnce(mirrors, std::move(*mirror));
  }
  log::write(net::kNetLog, "directory: ", mirrors.size(), " mirrors from ", kRoundRobinHost);
  return mirrors;
}

}  // namespace radiolist::directory
