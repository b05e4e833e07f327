// Resolving playlist entries against the playlist's address (RFC 3986, section 5).

#include <algorithm>
#include <cctype>
#include <vector>

#include "playback/formats/playlist.h"
#include "text/ascii.h"

namespace radiolist::formats {
namespace {

using text::lower;
using text::trimmed;

// The scheme of an absolute reference ("HTTP" in "HTTP://x"), or "" for a relative one.
std::string_view schemeOf(std::string_view s) {
  if (s.empty() || !std::isalpha(static_cast<unsigned char>(s[0]))) return {};
  for (std::size_t i = 1; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == ':') return s.substr(0, i);
    if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return {};
  }
  return {};
}

bool isWebScheme(std::string_view scheme) {
  std::string s(scheme);
  std::transform(s.begin(), s.end(), s.begin(), lower);
  return s == "http" || s == "https";
}

struct UrlParts {
  std::string_view scheme;     // "http"
  std::string_view authority;  // "host:8000"
  std::string_view path;       // "/dir/list.m3u"
  std::string_view query;      // "?a=b", with its '?'
};

// Splits an absolute http(s) URL; nothing for anything else.
std::optional<UrlParts> splitWebUrl(std::string_view url) {
  const std::string_view scheme = schemeOf(url);
  if (!isWebScheme(scheme) || url.substr(scheme.size(), 3) != "://") return std::nullopt;
  UrlParts parts;
  parts.scheme = scheme;
  std::string_view rest = url.substr(scheme.size() + 3);
  rest = rest.substr(0, rest.find('#'));
  const std::size_t authorityEnd = std::min(rest.find_first_of("/?"), rest.size());
  parts.authority = rest.substr(0, authorityEnd);
  rest.remove_prefix(authorityEnd);
  const std::size_t queryStart = std::min(rest.find('?'), rest.size());
  parts.path = rest.substr(0, queryStart);
  parts.query = rest.substr(queryStart);
  return parts;
}

// "/a/b/../c/./d" -> "/a/c/d"; the path is absolute, the result too.
std::string removeDotSegments(std::string_view path) {
  std::vector<std::string_view> segments;
  bool trailingSlash = false;
  std::size_t start = path.starts_with('/') ? 1 : 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    const std::string_view segment = path.substr(start, end - start);
    const bool last = end == path.size();
    if (segment == "..") {
      if (!segments.empty()) segments.pop_back();
      trailingSlash = last;
    } else if (segment == ".") {
      trailingSlash = last;
    } else {
      if (!last || !segment.empty()) segments.push_back(segment);
      trailingSlash = last && segment.empty();
    }
    start = end + 1;
  }
  std::string out;
  for (const std::string_view segment : segments) {
    out += '/';
    out += segment;
  }
  if (trailingSlash || out.empty()) out += '/';
  return out;
}

bool hasHost(std::string_view authority) {
  if (const auto at = authority.rfind('@'); at != std::string_view::npos)
    authority.remove_prefix(at + 1);
  return !authority.empty() && authority.front() != ':';
}

}  // namespace

std::optional<std::string> resolveUrl(std::string_view base, std::string_view reference) {
  const std::string_view ref = trimmed(reference);
  if (ref.empty() || ref.size() > kMaxEntryBytes) return std::nullopt;
  if (std::any_of(ref.begin(), ref.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return (u < 0x20 && c != '\t') || u == 0x7F;
      }))
    return std::nullopt;

  std::string url;
  if (const std::string_view scheme = schemeOf(ref); !scheme.empty()) {
    if (!isWebScheme(scheme)) return std::nullopt;
    url.assign(ref);
    std::transform(url.begin(), url.begin() + static_cast<std::ptrdiff_t>(scheme.size()),
                   url.begin(), lower);
  } else {
    const auto b = splitWebUrl(base);
    if (!b) return std::nullopt;
    std::string head(b->scheme);
    std::transform(head.begin(), head.end(), head.begin(), lower);
    head += ':';
    if (ref.starts_with("//")) {
      url = head + std::string(ref);
    } else {
      head += "//";
      head += b->authority;
      const std::size_t pathEnd = std::min(ref.find_first_of("?#"), ref.size());
      const std::string_view refPath = ref.substr(0, pathEnd);
      const std::string_view refTail = ref.substr(pathEnd);
      if (refPath.empty()) {
        // "?q" keeps the base's path, "#f" its query as well.
        url = head + std::string(b->path.empty() ? "/" : b->path) +
              std::string(refTail.starts_with('#') ? b->query : std::string_view{}) +
              std::string(refTail);
      } else if (refPath.starts_with('/')) {
        url = head + removeDotSegments(refPath) + std::string(refTail);
      } else {
        const std::size_t slash = b->path.rfind('/');
        const std::string directory =
            slash == std::string_view::npos ? "/" : std::string(b->path.substr(0, slash + 1));
        url = head + removeDotSegments(directory + std::string(refPath)) + std::string(refTail);
      }
    }
  }

  // Blanks inside an address are escaped; curl and servers refuse them raw.
  std::string escaped;
  escaped.reserve(url.size());
  for (const char c : url) {
    if (c == ' ')
      escaped += "%20";
    else if (c == '\t')
      escaped += "%09";
    else
      escaped += c;
  }
  if (escaped.size() > kMaxEntryBytes) return std::nullopt;
  const auto parts = splitWebUrl(escaped);
  if (!parts || !hasHost(parts->authority)) return std::nullopt;
  return escaped;
}

}  // namespace radiolist::formats
