// Station pages: where their stream addresses stand, and which addresses look like streams.

#include "playback/formats/page_scan.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>

#include "playback/formats/markup_scan.h"
#include "playback/formats/playlist.h"
#include "playback/net/local_range.h"
#include "text/ascii.h"

namespace radiolist::formats {
namespace {

using text::lowered;

// Tiers of candidates, best first.
enum Tier { kElement, kLink, kScript, kTiers };

bool endsWithAny(std::string_view s, std::initializer_list<std::string_view> suffixes) {
  return std::any_of(suffixes.begin(), suffixes.end(),
                     [&](std::string_view x) { return s.ends_with(x); });
}

// The lower-cased path of an absolute address, query and fragment left out.
std::string pathOf(std::string_view url) {
  const std::size_t hostStart = url.find("://");
  if (hostStart == std::string_view::npos) return {};
  std::string_view rest = url.substr(hostStart + 3);
  rest = rest.substr(0, rest.find_first_of("?#"));
  const std::size_t slash = rest.find('/');
  return slash == std::string_view::npos ? std::string() : lowered(rest.substr(slash));
}

// The port of an absolute address, 0 when it names none.
int portOf(std::string_view url) {
  const std::size_t hostStart = url.find("://");
  std::string_view authority = url.substr(hostStart + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  authority = authority.substr(authority.rfind('@') + 1);  // npos + 1 == 0
  const std::size_t bracket = authority.rfind(']');
  const std::size_t colon = authority.rfind(':');
  if (colon == std::string_view::npos || (bracket != std::string_view::npos && colon < bracket))
    return 0;
  int port = 0;
  for (const char c : authority.substr(colon + 1)) {
    if (c < '0' || c > '9' || port > 65535) return 0;
    port = port * 10 + (c - '0');
  }
  return port;
}

bool isPlaylistPath(std::string_view path) {
  return endsWithAny(path, {".m3u", ".m3u8", ".pls", ".xspf", ".asx", ".ram"});
}

bool isAudioFilePath(std::string_view path) {
  return endsWithAny(path,
                     {".mp3", ".aac", ".aacp", ".ogg", ".oga", ".opus", ".flac", ".m4a", ".nsv"});
}

// What a page links for other reasons than sound.
bool isPlainlyNotAStream(std::string_view url) {
  const std::string path = pathOf(url);
  if (endsWithAny(path, {".png",  ".jpg", ".jpeg", ".gif",  ".svg",  ".webp",  ".ico",  ".bmp",
                         ".avif", ".css", ".js",   ".mjs",  ".json", ".map",   ".woff", ".woff2",
                         ".ttf",  ".otf", ".eot",  ".html", ".htm",  ".xhtml", ".php",  ".asp",
                         ".aspx", ".jsp", ".xml",  ".txt",  ".pdf",  ".zip",   ".mp4",  ".webm"}))
    return true;
  const std::string host = lowered(urlHost(url));
  static constexpr std::array<std::string_view, 14> kAdHosts = {"doubleclick.",
                                                                "googlesyndication.",
                                                                "googleadservices.",
                                                                "google-analytics.",
                                                                "googletagmanager.",
                                                                "googletagservices.",
                                                                "adservice.",
                                                                "adnxs.",
                                                                "amazon-adsystem.",
                                                                "facebook.net",
                                                                "scorecardresearch.",
                                                                "criteo.",
                                                                "adform.",
                                                                "taboola."};
  if (std::any_of(kAdHosts.begin(), kAdHosts.end(),
                  [&](std::string_view h) { return host.find(h) != std::string::npos; }))
    return true;
  // Ad servers and audio ad networks, by their first label ("ads.", "ad3.", "adserver.").
  const std::string_view first = std::string_view(host).substr(0, host.find('.'));
  return first == "ads" || first == "adserver" || first == "analytics" || first == "stats" ||
         first == "tracking" ||
         (first.size() <= 4 && first.starts_with("ad") &&
          std::all_of(first.begin() + 2, first.end(), [](char c) { return c >= '0' && c <= '9'; }));
}

// True for the addresses streaming servers hand out: Icecast and SHOUTcast mounts, "/stream",
// "/live", a host named for streaming.
bool looksLikeStreamServer(std::string_view url) {
  const std::string path = pathOf(url);
  if (path.empty() || path == "/") {
    // SHOUTcast v1 serves its stream at the root of its own port.
    const int port = portOf(url);
    return port >= 8000 && port <= 8999 && port != 8080;
  }
  if (path.ends_with(";") || path.ends_with(";stream") || path.ends_with(";stream.nsv") ||
      path.ends_with(";stream.mp3"))
    return true;
  for (const std::string_view word : {"/stream", "/live", "/listen", "/radio", "/icecast"}) {
    for (std::size_t at = path.find(word); at != std::string::npos; at = path.find(word, at + 1)) {
      // A whole segment, or one that goes on with a bit rate, a number or a format.
      const std::size_t end = at + word.size();
      if (end == path.size() || std::strchr("/._-0123456789", path[end]) != nullptr) return true;
    }
  }
  const int port = portOf(url);
  if (port >= 8000 && port <= 8999 && port != 8080) return true;  // Icecast's and SHOUTcast's
  const std::string host = lowered(urlHost(url));
  const std::string_view first = std::string_view(host).substr(0, host.find('.'));
  return first.starts_with("stream") || first.starts_with("icecast") ||
         first.starts_with("shoutcast") || first.starts_with("listen") ||
         (first.starts_with("ice") &&
          std::all_of(first.begin() + 3, first.end(), [](char c) { return c >= '0' && c <= '9'; }));
}

bool isAbsolute(std::string_view reference) {
  const std::string start = lowered(text::trimmed(reference).substr(0, 8));
  return start.starts_with("http://") || start.starts_with("https://");
}

// An address a link, a data-* attribute or a script names that is worth trying: a playlist or
// an audio file, or an absolute address on a streaming server (a relative "/live" is the
// station's own page about its programme far more often than its stream).
bool linkWorthTrying(std::string_view reference, std::string_view url) {
  const std::string path = pathOf(url);
  return isPlaylistPath(path) || isAudioFilePath(path) ||
         (isAbsolute(reference) && looksLikeStreamServer(url));
}

bool anything(std::string_view, std::string_view) { return true; }

// Words with which pages label their live stream (a link's text, a class, a player's setting).
bool namesLiveWord(std::string_view text) {
  const std::string lower = lowered(text.substr(0, 4096));
  for (const std::string_view word : {"listen", "live", "stream", "radio", "on air", "onair",
                                      "слуша", "Слуша", "СЛУША", "эфир", "Эфир", "ЭФИР"}) {
    if (lower.find(word) != std::string::npos) return true;
  }
  return false;
}

// An address that shows itself as a live stream rather than a file: a playlist, or where and
// how streaming servers serve (a mount, ";stream", a streaming port or host).
bool addressLooksLive(std::string_view url) {
  return isPlaylistPath(pathOf(url)) || looksLikeStreamServer(url);
}

class Collector {
 public:
  Collector(std::string_view pageUrl, bool allowLocal) : base_(pageUrl), allowLocal_(allowLocal) {}

  void rebase(std::string_view href) {
    if (rebased_) return;  // the first <base> counts, as in browsers
    rebased_ = true;
    if (auto url = resolveUrl(base_, href)) base_ = std::move(*url);
  }

  // `reference` as written in the page (entities decoded); `live` when the page labels it as a
  // live stream. Returns the candidate's place when it is new.
  std::optional<std::size_t> add(Tier tier, std::string_view reference,
                                 bool (*worth)(std::string_view reference, std::string_view url),
                                 bool live = false) {
    if (lists_[tier].size() >= kMaxPageCandidates) return std::nullopt;
    auto url = resolveUrl(base_, reference);
    if (!url || isPlainlyNotAStream(*url) || !worth(reference, *url)) return std::nullopt;
    if (!allowLocal_ && isLocalHost(urlHost(*url))) return std::nullopt;
    for (auto& list : lists_) {
      for (auto& found : list) {
        if (found.url != *url) continue;
        found.live = found.live || live;
        return std::nullopt;
      }
    }
    live = live || addressLooksLive(*url);
    lists_[tier].push_back({std::move(*url), live});
    return lists_[tier].size() - 1;
  }

  // A link's text, read after the link was added, names a live stream.
  void markLive(Tier tier, std::size_t at) { lists_[tier][at].live = true; }

  // Absolute addresses inside script text or a JSON value, JSON's "\/" and "\u0026" undone.
  void addFromText(Tier tier, std::string_view text) {
    for (std::size_t at = findScheme(text, 0); at != std::string_view::npos;
         at = findScheme(text, at + 1)) {
      std::string url;
      std::size_t i = at;
      while (i < text.size() && url.size() <= kMaxEntryBytes) {
        const char c = text[i];
        if (c == '\\' && text.substr(i, 2) == "\\/") {
          url.push_back('/');
          i += 2;
        } else if (c == '\\' && text.substr(i, 6) == "\\u0026") {
          url.push_back('&');
          i += 6;
        } else if (static_cast<unsigned char>(c) <= ' ' ||
                   std::strchr("\"'`<>\\{}|^()[],", c) != nullptr) {
          break;
        } else {
          url.push_back(c);
          ++i;
        }
      }
      if (lists_[tier].size() >= kMaxPageCandidates) return;
      // A player's setting names what it plays: "stream": "...", liveUrl = '...'.
      const std::size_t before = std::min<std::size_t>(at, kSettingContext);
      add(tier, url, linkWorthTrying, namesLiveWord(text.substr(at - before, before)));
    }
  }

  // Live-looking candidates first (by tier, then in page order), then the rest the same way:
  // a page's advertisement or jingle file must not be tried before its stream.
  std::vector<std::string> take() {
    std::vector<std::string> out;
    for (const bool live : {true, false}) {
      for (auto& list : lists_) {
        for (auto& found : list) {
          if (found.live != live) continue;
          if (out.size() == kMaxPageCandidates) return out;
          out.push_back(std::move(found.url));
        }
      }
    }
    return out;
  }

 private:
  // The next "http://" or "https://", also as JSON writes it ("https:\/\/").
  static std::size_t findScheme(std::string_view text, std::size_t from) {
    for (std::size_t at = text.find("http", from); at != std::string_view::npos;
         at = text.find("http", at + 4)) {
      std::string_view rest = text.substr(at + 4);
      if (rest.starts_with('s')) rest.remove_prefix(1);
      if (rest.starts_with("://") || rest.starts_with(":\\/\\/")) return at;
    }
    return std::string_view::npos;
  }

  // How far before an address in a script its setting's name is looked for.
  static constexpr std::size_t kSettingContext = 48;

  struct Found {
    std::string url;
    bool live = false;
  };
  std::string base_;
  bool rebased_ = false;
  const bool allowLocal_;
  std::array<std::vector<Found>, kTiers> lists_;
};

// An element's own words about itself: what its class, id, title or label say.
bool labelledLive(std::string_view attributes) {
  for (const std::string_view name : {"class", "id", "title", "aria-label"}) {
    if (auto value = markup::attribute(attributes, name); value && namesLiveWord(*value))
      return true;
  }
  return false;
}

bool isDataAttribute(std::string_view name) {
  return name.size() > 5 && markup::nameIs(name.substr(0, 5), "data-");
}

// The raw text of a script, from `from` up to its end tag (or the end of the page).
std::string_view scriptText(std::string_view page, std::size_t from) {
  for (std::size_t at = page.find("</", from); at != std::string_view::npos;
       at = page.find("</", at + 2)) {
    if (markup::nameIs(page.substr(at + 2, 6), "script")) return page.substr(from, at - from);
  }
  return page.substr(from);
}

}  // namespace

std::string_view urlHost(std::string_view url) {
  const std::size_t schemeEnd = url.find("://");
  if (schemeEnd == std::string_view::npos) return {};
  std::string_view authority = url.substr(schemeEnd + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  authority = authority.substr(authority.rfind('@') + 1);  // npos + 1 == 0
  if (authority.starts_with('[')) {
    const std::size_t close = authority.find(']');
    return close == std::string_view::npos ? std::string_view() : authority.substr(1, close - 1);
  }
  return authority.substr(0, authority.find(':'));
}

bool isLocalHost(std::string_view host) {
  while (host.ends_with('.')) host.remove_suffix(1);  // "localhost." is localhost
  if (host.empty() || host.size() > 255) return false;
  const std::string name = lowered(host);
  if (name == "localhost" || name.ends_with(".localhost") || name.ends_with(".local")) return true;
  in_addr v4{};
  // inet_aton takes the forms resolvers take too: "127.1", "0x7f000001", "2130706433".
  if (name.find(':') == std::string::npos && inet_aton(name.c_str(), &v4) != 0)
    return net::isLocalIpv4(ntohl(v4.s_addr));
  const std::string v6 = name.substr(0, name.find('%'));  // a zone names a link: link-local anyway
  in6_addr a6{};
  return inet_pton(AF_INET6, v6.c_str(), &a6) == 1 && net::isLocalIpv6(a6.s6_addr);
}

bool looksLikePage(std::string_view contentType, std::string_view firstBytes) {
  std::string_view text = firstBytes;
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  while (!text.empty() && std::strchr(" \t\r\n\f", text.front()) != nullptr) text.remove_prefix(1);
  if (!text.starts_with('<')) return false;
  const std::string type = lowered(contentType.substr(0, contentType.find(';')));
  if (type.starts_with("text/html") || type.starts_with("application/xhtml")) return true;
  const std::string head = lowered(text.substr(0, 4096));
  static constexpr std::array<std::string_view, 6> kPageTags = {
      "<!doctype html", "<html", "<head", "<body", "<meta ", "<title"};
  return std::any_of(kPageTags.begin(), kPageTags.end(),
                     [&](std::string_view tag) { return head.find(tag) != std::string::npos; });
}

std::vector<std::string> pageCandidates(std::string_view page, std::string_view pageUrl,
                                        bool allowLocal) {
  page = page.substr(0, kMaxPageBytes);
  Collector found(pageUrl, allowLocal);
  int inVideo = 0;  // inside <video> or <picture>: their sources are no sound
  // The link whose text is being read (its place among the links): its text may label it live.
  constexpr std::size_t kNoLink = static_cast<std::size_t>(-1);
  std::size_t openLink = kNoLink;
  markup::Scanner scanner(page);
  for (auto token = scanner.next(); token.kind != markup::TokenKind::End; token = scanner.next()) {
    const std::string_view name = token.name;
    if (token.kind == markup::TokenKind::Text && openLink != kNoLink) {
      if (namesLiveWord(markup::decodeEntities(token.text.substr(0, 1024))))
        found.markLive(kLink, openLink);
      continue;
    }
    if (token.kind == markup::TokenKind::EndTag) {
      if (markup::nameIs(name, "a")) openLink = kNoLink;
      if ((markup::nameIs(name, "video") || markup::nameIs(name, "picture")) && inVideo > 0)
        --inVideo;
      continue;
    }
    if (token.kind != markup::TokenKind::StartTag) continue;
    const auto attr = [&](std::string_view lowerName) {
      return markup::attribute(token.attributes, lowerName);
    };
    if (markup::nameIs(name, "base")) {
      if (auto href = attr("href")) found.rebase(*href);
    } else if (markup::nameIs(name, "video") || markup::nameIs(name, "picture")) {
      if (!token.selfClosing) ++inVideo;
    } else if (markup::nameIs(name, "audio") || (markup::nameIs(name, "source") && inVideo == 0)) {
      if (auto src = attr("src"))
        found.add(kElement, *src, anything, labelledLive(token.attributes));
    } else if (markup::nameIs(name, "meta")) {
      const auto property = attr("property");
      if (property && (*property == "og:audio" || *property == "og:audio:url" ||
                       *property == "og:audio:secure_url")) {
        if (auto content = attr("content")) found.add(kElement, *content, anything);
      }
    } else if (markup::nameIs(name, "a")) {
      openLink = kNoLink;
      if (auto href = attr("href"))
        openLink = found.add(kLink, *href, linkWorthTrying, labelledLive(token.attributes))
                       .value_or(kNoLink);
    }
    markup::AttributeReader reader(token.attributes);
    while (const auto a = reader.next()) {
      if (!isDataAttribute(a->name)) continue;
      const std::string value = markup::decodeEntities(a->value);
      found.add(kLink, value, linkWorthTrying, namesLiveWord(a->name));
      found.addFromText(kScript, value);
    }
    if (markup::nameIs(name, "script") && !token.selfClosing) {
      // Script text is not markup: it is read raw up to its end tag, and the scan goes on after.
      const auto tagEnd =
          page.find('>', static_cast<std::size_t>(token.attributes.data() +
                                                  token.attributes.size() - page.data()));
      if (tagEnd == std::string_view::npos) break;
      const std::string_view script = scriptText(page, tagEnd + 1);
      found.addFromText(kScript, script);
      page = page.substr(tagEnd + 1 + script.size());
      scanner = markup::Scanner(page);
    }
  }
  return found.take();
}

}  // namespace radiolist::formats
