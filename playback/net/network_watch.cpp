#include "playback/net/network_watch.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "playback/log/log.h"
#include "playback/log/thread_name.h"
#include "playback/net/address_reach.h"
#include "playback/net/log_domain.h"

namespace radiolist::net {

bool networkCameBack(std::span<const std::byte> messages) {
  std::size_t at = 0;
  while (messages.size() - at >= sizeof(nlmsghdr)) {
    nlmsghdr header{};
    std::memcpy(&header, messages.data() + at, sizeof header);
    if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > messages.size() - at) break;
    switch (header.nlmsg_type) {
      case RTM_NEWADDR:
      case RTM_NEWROUTE: return true;
      case RTM_NEWLINK:
        if (header.nlmsg_len >= NLMSG_LENGTH(sizeof(ifinfomsg))) {
          ifinfomsg link{};
          std::memcpy(&link, messages.data() + at + NLMSG_HDRLEN, sizeof link);
          if ((link.ifi_flags & IFF_UP) != 0 && (link.ifi_flags & IFF_RUNNING) != 0) return true;
        }
        break;
      default: break;
    }
    at += NLMSG_ALIGN(header.nlmsg_len);
  }
  return false;
}

bool NewsThrottle::news(Clock::time_point now) {
  if (acted_ && now - *acted_ < window_) {
    gathered_ = true;
    return false;
  }
  acted_ = now;
  gathered_ = false;
  return true;
}

std::optional<NewsThrottle::Clock::time_point> NewsThrottle::due() const {
  if (!gathered_) return std::nullopt;
  return *acted_ + window_;
}

bool NewsThrottle::tick(Clock::time_point now) {
  const auto at = due();
  if (!at || now < *at) return false;
  acted_ = now;
  gathered_ = false;
  return true;
}

NetworkWatch::NetworkWatch(std::function<void()> onReturn) : onReturn_(std::move(onReturn)) {
  socket_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  stop_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups =
      RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
  if (socket_ < 0 || stop_ < 0 ||
      ::bind(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
    log::write(net::kNetLog, "no netlink: network changes are not watched");
    if (socket_ >= 0) ::close(socket_);
    socket_ = -1;
    return;
  }
  thread_ = std::thread([this] {
    log::nameThisThread("rl-netwatch");
    run();
  });
}

NetworkWatch::~NetworkWatch() {
  if (thread_.joinable()) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(stop_, &one, sizeof one);
    thread_.join();
  }
  if (socket_ >= 0) ::close(socket_);
  if (stop_ >= 0) ::close(stop_);
}

void NetworkWatch::run() {
  // Large enough for a batch of messages; a longer batch is cut, which at worst loses news that
  // the next batch repeats.
  alignas(nlmsghdr) std::array<std::byte, 16384> buffer{};
  NewsThrottle throttle(kNewsWindow);
  for (;;) {
    std::array<pollfd, 2> fds{pollfd{socket_, POLLIN, 0}, pollfd{stop_, POLLIN, 0}};
    int timeout = -1;
    if (const auto due = throttle.due()) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(*due - std::chrono::steady_clock::now());
      timeout = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
    }
    if (::poll(fds.data(), fds.size(), timeout) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if (throttle.tick(std::chrono::steady_clock::now())) {
      log::write(net::kNetLog, "the network changed (news gathered over the last seconds)");
      refreshInterfaceNetworks();
      onReturn_();
    }
    if (fds[0].revents == 0) continue;
    bool news = false;
    for (;;) {
      const ssize_t got = ::recv(socket_, buffer.data(), buffer.size(), 0);
      if (got < 0) {
        // ENOBUFS: the kernel dropped messages because we were slow; something changed.
        if (errno == ENOBUFS) news = true;
        if (errno == EINTR || errno == ENOBUFS) continue;
        break;  // EAGAIN: the batch is read
      }
      if (got == 0) break;
      news = news || networkCameBack(std::span(buffer.data(), static_cast<std::size_t>(got)));
    }
    if (news && throttle.news(std::chrono::steady_clock::now())) {
      log::write(net::kNetLog, "the network changed");
      refreshInterfaceNetworks();
      onReturn_();
    }
  }
}

}  // namespace radiolist::net
