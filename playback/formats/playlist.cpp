#include "playback/formats/playlist.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <utility>

#include "playback/formats/markup_scan.h"
#include "playback/formats/playlist_parts.h"
#include "text/ascii.h"
#include "text/hidden.h"
#include "text/legacy_text.h"
#include "text/utf8.h"

namespace radiolist::formats {
namespace {

using text::isBlank;
using text::lower;
using text::startsWithIgnoringCase;
using text::trimmed;
using utf8::appendCodePoint;

unsigned byteAt(std::string_view s, std::size_t i) { return static_cast<unsigned char>(s[i]); }

// --- Text of a body ---------------------------------------------------------------------------

// UTF-16 after its byte-order mark, as UTF-8; a lone surrogate becomes U+FFFD, an odd last byte
// (the first bytes of a body may end anywhere) is dropped.
std::string utf16ToUtf8(std::string_view bytes, bool bigEndian) {
  std::string out;
  out.reserve(bytes.size() / 2);
  auto unit = [&](std::size_t i) -> char32_t {
    return bigEndian ? (byteAt(bytes, i) << 8) | byteAt(bytes, i + 1)
                     : byteAt(bytes, i) | (byteAt(bytes, i + 1) << 8);
  };
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
    char32_t c = unit(i);
    if (c >= 0xD800 && c <= 0xDBFF && i + 3 < bytes.size() && unit(i + 2) >= 0xDC00 &&
        unit(i + 2) <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
      i += 2;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    appendCodePoint(out, c);
  }
  return out;
}

bool hasUtf16Mark(std::string_view bytes) {
  return bytes.size() >= 2 && ((byteAt(bytes, 0) == 0xFF && byteAt(bytes, 1) == 0xFE) ||
                               (byteAt(bytes, 0) == 0xFE && byteAt(bytes, 1) == 0xFF));
}

// --- What the bytes are -----------------------------------------------------------------------

// Signatures of the media a radio server sends, at the very start of a body.
bool startsLikeMedia(std::string_view b) {
  static constexpr std::array<std::string_view, 5> kMagic = {"ID3", "OggS", "fLaC", "RIFF", ".snd"};
  if (std::any_of(kMagic.begin(), kMagic.end(),
                  [&](std::string_view m) { return b.starts_with(m); }))
    return true;
  static constexpr std::string_view kAsfHeader{"\x30\x26\xB2\x75\x8E\x66\xCF\x11", 8};
  if (b.starts_with(kAsfHeader)) return true;
  if (b.size() >= 8 && b.substr(4, 4) == "ftyp") return true;  // MP4, M4A
  if (b.size() >= 2 && byteAt(b, 0) == 0xFF && (byteAt(b, 1) & 0xE0) == 0xE0)
    return true;  // MPEG audio, ADTS
  if (b.size() > 188 && byteAt(b, 0) == 0x47 && byteAt(b, 188) == 0x47) return true;  // MPEG-TS
  return false;
}

std::string_view withoutLeadingBlanks(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  return text;
}

bool isKeyedEntry(std::string_view line, std::string_view lowerKey) {
  line = trimmed(line);
  if (!startsWithIgnoringCase(line, lowerKey)) return false;
  std::size_t i = lowerKey.size();
  const std::size_t digitsStart = i;
  while (i < line.size() && line[i] >= '0' && line[i] <= '9') ++i;
  if (i == digitsStart) return false;
  while (i < line.size() && isBlank(line[i])) ++i;
  return i < line.size() && line[i] == '=';
}

// Lines that only HLS media and master playlists carry.
bool isHlsTag(std::string_view line) {
  static constexpr std::array<std::string_view, 11> kTags = {"#ext-x-targetduration",
                                                             "#ext-x-stream-inf",
                                                             "#ext-x-i-frame-stream-inf",
                                                             "#ext-x-media-sequence",
                                                             "#ext-x-media:",
                                                             "#ext-x-playlist-type",
                                                             "#ext-x-discontinuity-sequence",
                                                             "#ext-x-map:",
                                                             "#ext-x-key:",
                                                             "#ext-x-part-inf",
                                                             "#ext-x-server-control"};
  return std::any_of(kTags.begin(), kTags.end(),
                     [&](std::string_view t) { return startsWithIgnoringCase(line, t); });
}

std::string normalContentType(std::string_view contentType) {
  std::string type(trimmed(contentType.substr(0, contentType.find(';'))));
  std::transform(type.begin(), type.end(), type.begin(), lower);
  return type;
}

// --- Readers of the line formats --------------------------------------------------------------

// PLS ("FileN=", named by "TitleN=") and Windows Media references ("RefN="): entries in the
// order of N, whatever the order of the lines; keys in any case.
void readNumberedKeys(std::string_view text, std::string_view lowerKey,
                      std::string_view lowerTitleKey, detail::EntryCollector& entries) {
  struct Numbered {
    std::uint32_t number;
    std::string_view value;
  };
  const auto byNumber = [](const Numbered& a, const Numbered& b) { return a.number < b.number; };
  std::vector<Numbered> numbered;
  std::vector<Numbered> titles;
  const auto keep = [](std::string_view line, std::string_view key, std::vector<Numbered>& into) {
    if (!isKeyedEntry(line, key)) return false;
    const std::size_t equals = line.find('=');
    const std::string_view digits = trimmed(line.substr(key.size(), equals - key.size()));
    if (digits.size() > 9) return true;  // no playlist counts that far; keeps the number in range
    std::uint32_t number = 0;
    for (const char c : digits) number = number * 10 + static_cast<std::uint32_t>(c - '0');
    into.push_back({number, trimmed(line.substr(equals + 1))});
    return true;
  };
  detail::forEachLine(text, [&](std::string_view rawLine) {
    const std::string_view line = trimmed(rawLine);
    if (!keep(line, lowerKey, numbered) && !lowerTitleKey.empty())
      keep(line, lowerTitleKey, titles);
    return numbered.size() + titles.size() < kMaxEntries * 4;
  });
  std::stable_sort(numbered.begin(), numbered.end(), byNumber);
  std::stable_sort(titles.begin(), titles.end(), byNumber);
  for (const Numbered& n : numbered) {
    if (entries.full()) break;
    const auto title = std::lower_bound(titles.begin(), titles.end(), n, byNumber);
    const bool named = title != titles.end() && title->number == n.number;
    entries.add(n.value, named ? title->value : std::string_view{});
  }
}

}  // namespace

namespace detail {

// The body as UTF-8 text without a byte-order mark. Playlists are ASCII where it matters (the
// addresses), so other bytes pass through as they are.
std::string textOf(std::string_view body) {
  if (hasUtf16Mark(body)) return utf16ToUtf8(body, byteAt(body, 0) == 0xFE);
  if (body.starts_with("\xEF\xBB\xBF")) body.remove_prefix(3);
  return std::string(body);
}

// Text has next to no control bytes. Compressed audio read from any offset has one in every
// dozen or so (MP3 and ADTS tones at 128 kbit/s: at least 8 %; MP3 of digital silence: 4 %).
bool looksBinary(std::string_view text) {
  const auto controls = std::count_if(text.begin(), text.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u < 0x20 && !isBlank(c)) || u == 0x7F;
  });
  return static_cast<std::size_t>(controls) * 64 > text.size();
}

bool isHls(std::string_view text) {
  if (!startsWithIgnoringCase(withoutLeadingBlanks(text), "#extm3u")) return false;
  bool found = false;
  forEachLine(text, [&](std::string_view line) {
    found = isHlsTag(trimmed(line));
    return !found;
  });
  return found;
}

std::string_view firstElement(std::string_view text) {
  markup::Scanner scanner(text);
  for (auto token = scanner.next(); token.kind != markup::TokenKind::End; token = scanner.next()) {
    if (token.kind == markup::TokenKind::Text && trimmed(token.text).empty()) continue;
    return token.kind == markup::TokenKind::StartTag ? token.name : std::string_view{};
  }
  return {};
}

PlaylistFormat sniffText(std::string_view text) {
  const std::string_view start = withoutLeadingBlanks(text);
  if (startsWithIgnoringCase(start, "#extm3u")) return PlaylistFormat::M3u;
  if (startsWithIgnoringCase(start, "[playlist]")) return PlaylistFormat::Pls;
  if (startsWithIgnoringCase(start, "[reference]")) return PlaylistFormat::Reference;
  if (start.starts_with('<')) {
    // The first element names the format: <playlist> for XSPF, <asx> for ASX; <html> is a page.
    const std::string_view element = firstElement(start);
    if (markup::nameIs(element, "playlist")) return PlaylistFormat::Xspf;
    if (markup::nameIs(element, "asx")) return PlaylistFormat::Asx;
    return PlaylistFormat::Unknown;
  }

  // Without a header: a list of absolute addresses, or PLS entries without their section.
  PlaylistFormat format = PlaylistFormat::Unknown;
  forEachLine(start, [&](std::string_view rawLine) {
    const std::string_view line = trimmed(rawLine);
    if (line.empty() || line.starts_with('#')) return true;
    if (isKeyedEntry(line, "file")) {
      format = PlaylistFormat::Pls;
    } else {
      const std::size_t colon = line.find("://");
      if (colon != std::string_view::npos && colon > 0 && colon < 16 &&
          std::all_of(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(colon), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
          }))
        format = PlaylistFormat::M3u;
    }
    return false;  // the first line with content decides
  });
  return format;
}

// --- Readers of the line formats --------------------------------------------------------------

void readM3u(std::string_view text, EntryCollector& entries) {
  // "#EXTINF:-1 tvg-name="a, b",Name" names the address on the next line that is no comment.
  std::string_view name;
  forEachLine(text, [&](std::string_view rawLine) {
    const std::string_view line = trimmed(rawLine);
    if (startsWithIgnoringCase(line, "#extinf:")) {
      bool quoted = false;
      std::size_t comma = line.size();
      for (std::size_t i = 8; i < line.size() && comma == line.size(); ++i) {
        if (line[i] == '"') quoted = !quoted;
        if (line[i] == ',' && !quoted) comma = i;
      }
      name = comma < line.size() ? line.substr(comma + 1) : std::string_view{};
    } else if (!line.empty() && !line.starts_with('#')) {
      entries.add(line, name);
      name = {};
    }
    return !entries.full();
  });
}

void readPls(std::string_view text, EntryCollector& entries) {
  readNumberedKeys(text, "file", "title", entries);
}

void readReference(std::string_view text, EntryCollector& entries) {
  readNumberedKeys(text, "ref", {}, entries);
}

void EntryCollector::add(std::string_view reference, std::string_view name) {
  if (full() || trimmed(reference).empty()) return;
  if (auto url = resolve(base_, reference))
    keep(std::move(*url), name);
  else if (firstOfItem_)
    count(lastRefusal_);
}

void EntryCollector::addItem(std::span<const std::string> urls, std::string_view name) {
  for (const std::string& url : urls) {
    if (full()) return;
    if (url.empty()) continue;
    if (firstOfItem_) {
      keep(url, name);
      return;
    }
    entries_.push_back({{}, url});
  }
  if (firstOfItem_ && !urls.empty()) count(lastRefusal_);  // none of its addresses resolved
}

void EntryCollector::keep(std::string url, std::string_view name) {
  if (entries_.size() >= limit_) {
    ++leftOut_.overCap;
    return;
  }
  entries_.push_back({firstOfItem_ ? cleanName(name) : std::string{}, std::move(url)});
}

void EntryCollector::count(Refusal why) {
  switch (why) {
    case Refusal::NotWeb: ++leftOut_.notWeb; break;
    case Refusal::NotPlain: ++leftOut_.notPlain; break;
    case Refusal::TooLong: ++leftOut_.tooLong; break;
  }
}

std::optional<std::string> EntryCollector::resolve(std::string_view base,
                                                   std::string_view reference) {
  const std::string_view ref = trimmed(reference);
  // An address that enters the list is shown and compared as it is: one with a character that
  // shows nothing (a line break, U+202E, a zero-width space) is not taken, lest it look like
  // another or like none.
  if (firstOfItem_ && ref.size() > kMaxEntryBytes) {
    lastRefusal_ = Refusal::TooLong;
    return std::nullopt;
  }
  if (firstOfItem_ && text::hasHidden(ref)) {
    lastRefusal_ = Refusal::NotPlain;
    return std::nullopt;
  }
  if (base.size() > resolveBudget_) base = {};
  resolveBudget_ -= base.size();
  std::optional<std::string> url = resolveUrl(base, reference);
  if (!url) lastRefusal_ = Refusal::NotWeb;
  return url;
}

std::string cleanName(std::string_view raw) {
  raw = trimmed(raw);
  // A name longer than the cap is cut anyway: guess its code page from what is kept.
  raw = raw.substr(0, kMaxStationNameBytes * 4);
  const std::string named =
      text::replaceHidden(utf8::oneLineCapped(text::legacyToUtf8(raw), kMaxStationNameBytes));
  return std::string(trimmed(named));
}

}  // namespace detail

using detail::isHls;
using detail::looksBinary;
using detail::sniffText;
using detail::textOf;

bool isPlaylistContentType(std::string_view contentType) {
  static constexpr std::array<std::string_view, 18> kTypes = {
      "audio/x-mpegurl",
      "audio/mpegurl",
      "application/x-mpegurl",
      "application/mpegurl",
      "application/vnd.apple.mpegurl",
      "application/vnd.apple.mpegurl.audio",
      "audio/x-mpequrl",  // a misspelling some servers really send
      "audio/x-scpls",
      "audio/scpls",
      "application/pls+xml",
      "application/pls",
      "audio/x-pls",
      "application/xspf+xml",
      "video/x-ms-asf",
      "video/x-ms-asx",
      "audio/x-ms-asx",
      "audio/x-ms-wax",
      "video/x-ms-wvx"};
  const std::string type = normalContentType(contentType);
  return std::find(kTypes.begin(), kTypes.end(), type) != kTypes.end();
}

PlaylistFormat sniffPlaylist(std::string_view body) { return sniffText(textOf(body)); }

BodyKind classifyBody(std::string_view contentType, std::string_view firstBytes) {
  if (hasUtf16Mark(firstBytes)) {
    // 0xFF 0xFE also starts an MPEG frame: only a recognisable playlist counts as text here.
    const std::string text = textOf(firstBytes);
    if (sniffText(text) == PlaylistFormat::Unknown) return BodyKind::Media;
    return isHls(text) ? BodyKind::Hls : BodyKind::Playlist;
  }
  if (startsLikeMedia(firstBytes)) return BodyKind::Media;
  const std::string text = textOf(firstBytes);
  // The M3U header decides before the share of control bytes: junk in a comment must not send a
  // playlist to the decoder, whose demuxers would follow its addresses themselves.
  if (startsWithIgnoringCase(withoutLeadingBlanks(text), "#extm3u"))
    return isHls(text) ? BodyKind::Hls : BodyKind::Playlist;
  if (looksBinary(text)) return BodyKind::Media;
  if (sniffText(text) != PlaylistFormat::Unknown) return BodyKind::Playlist;
  if (!isPlaylistContentType(contentType)) return BodyKind::Media;
  // A playlist type over text of no known shape: an M3U of relative entries, say. A page of
  // markup (an error page, a login page) is left to the decoder, which refuses it.
  return withoutLeadingBlanks(text).starts_with('<') ? BodyKind::Media : BodyKind::Playlist;
}

std::vector<std::string> playlistEntries(std::string_view body, std::string_view baseUrl,
                                         std::size_t maxEntries) {
  const std::string text = textOf(body);
  detail::EntryCollector entries(baseUrl, std::min(maxEntries, kMaxEntries));
  switch (sniffText(text)) {
    case PlaylistFormat::Pls: detail::readPls(text, entries); break;
    case PlaylistFormat::Reference: detail::readReference(text, entries); break;
    case PlaylistFormat::Xspf: detail::readXspf(text, entries); break;
    case PlaylistFormat::Asx: detail::readAsx(text, entries); break;
    case PlaylistFormat::M3u: detail::readM3u(text, entries); break;
    case PlaylistFormat::Unknown:
      // Markup of no known kind (a page, or a list cut before its first tag ended) and bytes
      // that are no text hold no entries; other text is taken for an M3U of relative entries.
      if (!withoutLeadingBlanks(text).starts_with('<') && !looksBinary(text))
        detail::readM3u(text, entries);
      break;
  }
  std::vector<std::string> urls;
  for (Station& entry : entries.take()) urls.push_back(std::move(entry.url));
  return urls;
}

}  // namespace radiolist::formats
