#include "playback/net/url_check.h"

#include <algorithm>

#include "text/ascii.h"

namespace radiolist::net {
namespace {

using text::startsWithIgnoringCase;

bool validPort(std::string_view port) {
  if (port.empty()) return true;  // "host:" means the default port
  if (port.size() > 5) return false;
  unsigned value = 0;
  for (const char c : port) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value >= 1 && value <= 65535;
}

bool validHostName(std::string_view host) {
  return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return std::isalnum(u) || c == '-' || c == '.' || c == '_' || c == '%' || c == '~' || u >= 0x80;
  });
}

}  // namespace

bool isPlausibleStreamUrl(std::string_view url) {
  if (url.empty() || url.size() > kMaxUrlBytes) return false;
  if (std::any_of(url.begin(), url.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u <= 0x20 || u == 0x7f;
      }))
    return false;

  std::string_view rest;
  if (startsWithIgnoringCase(url, "http://"))
    rest = url.substr(7);
  else if (startsWithIgnoringCase(url, "https://"))
    rest = url.substr(8);
  else
    return false;

  std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
  if (const auto at = authority.rfind('@'); at != std::string_view::npos)
    authority.remove_prefix(at + 1);

  if (authority.starts_with('[')) {
    const auto close = authority.find(']');
    if (close == std::string_view::npos || close == 1) return false;
    const std::string_view inside = authority.substr(1, close - 1);
    if (!std::all_of(inside.begin(), inside.end(), [](char c) {
          return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
        }))
      return false;
    const std::string_view after = authority.substr(close + 1);
    if (after.empty()) return true;
    return after.front() == ':' && validPort(after.substr(1));
  }
  const auto colon = authority.find(':');
  if (colon == std::string_view::npos) return validHostName(authority);
  return validHostName(authority.substr(0, colon)) && validPort(authority.substr(colon + 1));
}

}  // namespace radiolist::net
