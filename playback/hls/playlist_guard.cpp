#include "playback/hls/playlist_guard.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace radiolist::hls {
namespace {

constexpr std::string_view kStreamInf = "#EXT-X-STREAM-INF:";
constexpr std::string_view kMedia = "#EXT-X-MEDIA:";
constexpr std::string_view kIFrames = "#EXT-X-I-FRAME-STREAM-INF:";

// Lines as the demuxer reads them: CR, LF or both end one; trailing blanks go. (A CRLF gives
// an empty line more, which every reader skips.)
std::vector<std::string_view> linesOf(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find_first_of("\r\n"), text.size());
    std::string_view line = text.substr(0, end);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    lines.push_back(line);
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return lines;
}

bool isUri(std::string_view line) { return !line.empty() && line.front() != '#'; }

// The value of attribute `name` in "A=1,B=\"x,y\",C=z", without quotes; "" when absent.
std::string_view attribute(std::string_view list, std::string_view name) {
  while (!list.empty()) {
    const std::size_t eq = list.find('=');
    if (eq == std::string_view::npos) return {};
    std::string_view key = list.substr(0, eq);
    while (!key.empty() && key.front() == ' ') key.remove_prefix(1);
    list.remove_prefix(eq + 1);
    std::string_view value;
    if (!list.empty() && list.front() == '"') {
      const std::size_t close = list.find('"', 1);
      value = list.substr(1, close == std::string_view::npos ? list.size() - 1 : close - 1);
      list.remove_prefix(close == std::string_view::npos ? list.size() : close + 1);
    } else {
      value = list.substr(0, list.find(','));
      list.remove_prefix(value.size());
    }
    if (key == name) return value;
    if (!list.empty() && list.front() == ',') list.remove_prefix(1);
  }
  return {};
}

std::uint64_t number(std::string_view digits) {
  std::uint64_t n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9' || n > UINT64_MAX / 20) break;
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  return n;
}

// CODECS names codecs and none of them is a video codec. Absent CODECS says nothing.
bool audioOnly(std::string_view codecs) {
  static constexpr std::array<std::string_view, 10> kVideo = {
      "avc1", "avc3", "hvc1", "hev1", "dvh1", "dvhe", "av01", "vp09", "vp08", "mp4v"};
  if (codecs.empty()) return false;
  for (std::size_t at = 0; at <= codecs.size();) {
    const std::size_t end = std::min(codecs.find(',', at), codecs.size());
    std::string_view codec = codecs.substr(at, end - at);
    while (!codec.empty() && codec.front() == ' ') codec.remove_prefix(1);
    for (std::string_view video : kVideo)
      if (codec.starts_with(video)) return false;
    at = end + 1;
  }
  return true;
}

struct Variant {
  std::size_t tag = 0;  // line of its #EXT-X-STREAM-INF
  std::size_t uri = 0;  // line of its address
  std::uint64_t bandwidth = 0;
  bool audioOnly = false;
  std::string_view audioGroup;
};

}  // namespace

bool looksLikeHlsPlaylist(std::string_view firstBytes) {
  if (firstBytes.starts_with("\xEF\xBB\xBF")) firstBytes.remove_prefix(3);
  return firstBytes.starts_with("#EXTM3U");
}

std::optional<std::string> guardPlaylist(std::string_view body, std::size_t baseUrlBytes) {
  if (body.size() > kMaxPlaylistBytes) return std::nullopt;
  const std::vector<std::string_view> lines = linesOf(body);

  std::vector<Variant> variants;
  std::vector<std::size_t> renditions;
  std::size_t segments = 0;
  std::size_t resolved = 0;
  bool wantUri = false;  // the next address belongs to the last #EXT-X-STREAM-INF
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (line.starts_with(kStreamInf)) {
      const std::string_view attributes = line.substr(kStreamInf.size());
      variants.push_back({i, lines.size(), number(attribute(attributes, "BANDWIDTH")),
                          audioOnly(attribute(attributes, "CODECS")),
                          attribute(attributes, "AUDIO")});
      wantUri = true;
    } else if (line.starts_with(kMedia)) {
      renditions.push_back(i);
    } else if (isUri(line) && wantUri) {
      variants.back().uri = i;
      wantUri = false;
    } else if (isUri(line)) {
      ++segments;
      resolved += baseUrlBytes + line.size();
      if (segments > kMaxSegments || resolved > kMaxResolvedBytes) return std::nullopt;
    }
  }
  if (variants.empty()) return std::string(body);

  const bool anyAudioOnly = std::any_of(variants.begin(), variants.end(), [&](const Variant& v) {
    return v.audioOnly && v.uri != lines.size();
  });
  const Variant* chosen = nullptr;
  for (const Variant& v : variants) {
    if (v.uri == lines.size() || (anyAudioOnly && !v.audioOnly)) continue;
    if (chosen == nullptr || v.bandwidth > chosen->bandwidth) chosen = &v;
  }
  std::size_t keptRendition = lines.size();
  if (chosen != nullptr && !chosen->audioGroup.empty()) {
    for (std::size_t i : renditions) {
      const std::string_view attributes = lines[i].substr(kMedia.size());
      if (attribute(attributes, "TYPE") != "AUDIO" ||
          attribute(attributes, "GROUP-ID") != chosen->audioGroup)
        continue;
      if (keptRendition == lines.size() || attribute(attributes, "DEFAULT") == "YES")
        keptRendition = i;
      if (attribute(attributes, "DEFAULT") == "YES") break;
    }
  }

  std::vector<bool> drop(lines.size(), false);
  for (const Variant& v : variants) {
    if (&v == chosen) continue;
    drop[v.tag] = true;
    if (v.uri < lines.size()) drop[v.uri] = true;
  }
  for (std::size_t i : renditions) drop[i] = i != keptRendition;
  std::string out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (drop[i] || lines[i].starts_with(kIFrames)) continue;
    out.append(lines[i]).push_back('\n');
  }
  return out;
}

}  // namespace radiolist::hls
