#include "playback/directory/query.h"

#include <algorithm>

#include "playback/directory/station_list.h"
#include "text/utf8.h"

namespace radiolist::directory {
namespace {

const char* orderName(Order order) {
  switch (order) {
    case Order::Name: return "name";
    case Order::Votes: return "votes";
    case Order::ClickCount: return "clickcount";
    case Order::Bitrate: return "bitrate";
    case Order::LastCheckOk: return "lastcheckok";
    case Order::Random: return "random";
  }
  return "votes";
}

bool isUuid(std::string_view uuid) {
  return !uuid.empty() && uuid.size() <= kMaxUuidBytes &&
         std::all_of(uuid.begin(), uuid.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') ||
                  c == '-';
         });
}

}  // namespace

std::string percentEncoded(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(kHex[u >> 4]);
      out.push_back(kHex[u & 15]);
    }
  }
  return out;
}

std::string searchPath(const Query& query) {
  std::string path = "/json/stations/search?";
  const auto add = [&](std::string_view key, std::string_view value) {
    if (path.back() != '?') path.push_back('&');
    path += key;
    path.push_back('=');
    path += value;
  };
  const auto addText = [&](std::string_view key, const std::string& value) {
    // One line, never cut inside a character; blanks around it mean nothing to the directory.
    const std::string line = utf8::oneLineCapped(utf8::sanitized(value), kMaxQueryTextBytes);
    const std::string_view trimmed = [&] {
      std::string_view t = line;
      while (!t.empty() && t.front() == ' ') t.remove_prefix(1);
      while (!t.empty() && t.back() == ' ') t.remove_suffix(1);
      return t;
    }();
    if (!trimmed.empty()) add(key, percentEncoded(trimmed));
  };
  addText("name", query.name);
  addText("tag", query.tag);
  addText("country", query.country);
  addText("countrycode", query.countryCode);
  addText("codec", query.codec);
  if (query.bitrateMin > 0) add("bitrateMin", std::to_string(query.bitrateMin));
  add("order", orderName(query.order));
  add("reverse", query.reverse ? "true" : "false");
  add("hidebroken", query.hideBroken ? "true" : "false");
  add("limit", std::to_string(std::clamp<std::size_t>(query.limit, 1, kMaxStationsPerPage)));
  add("offset", std::to_string(std::min<std::size_t>(query.offset, 1'000'000)));
  return path;
}

std::string byUuidPath(std::span<const std::string> uuids) {
  std::string list;
  std::size_t taken = 0;
  for (const std::string& uuid : uuids) {
    if (!isUuid(uuid)) continue;
    if (taken++ == kMaxUuidsPerRequest) break;
    if (!list.empty()) list.push_back(',');
    list += uuid;
  }
  return list.empty() ? std::string() : "/json/stations/byuuid?uuids=" + list;
}

std::string clickPath(std::string_view uuid) {
  return isUuid(uuid) ? "/json/url/" + std::string(uuid) : std::string();
}

}  // namespace radiolist::directory
