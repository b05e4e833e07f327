#pragma once
// A quick look at an address before any thread or socket is spent on it. Pure.

#include <cstddef>
#include <string_view>

namespace radiolist::net {

// Longer addresses are refused outright: no station needs one, and servers refuse request
// lines far shorter than this anyway.
inline constexpr std::size_t kMaxUrlBytes = 16 * 1024;

// True when `url` can be a stream address: an http or https scheme (any case), "://", a
// non-empty host (a name, an IPv4 address or a bracketed IPv6 address), an optional decimal port
// 1..65535, and no blank or control character anywhere. Says nothing about reachability.
bool isPlausibleStreamUrl(std::string_view url);

}  // namespace radiolist::net
