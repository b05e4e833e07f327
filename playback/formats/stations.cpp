#include "playback/formats/stations.h"

#include "playback/formats/markup_scan.h"
#include "playback/formats/playlist_parts.h"
#include "text/ascii.h"

namespace radiolist::formats {
namespace {

using detail::EntryCollector;
using text::trimmed;

bool endsWithIgnoringCase(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() &&
         text::equalsIgnoringCase(s.substr(s.size() - suffix.size()), suffix);
}

// A pyradio line: a first field, then an absolute address (or "-" for a group heading).
bool looksLikePyradio(std::string_view text) {
  bool found = false;
  detail::forEachLine(text, [&](std::string_view line) {
    if (trimmed(line).empty() || line.starts_with('#')) return true;
    EntryCollector probe("", 1, true);
    detail::readPyradioCsv(line, probe);
    const std::size_t comma = line.find(',');
    found = !probe.take().empty() ||
            (comma != std::string_view::npos && trimmed(line.substr(comma + 1)) == "-");
    return false;
  });
  return found;
}

StationSource sourceOf(std::string_view text, std::string_view fileName) {
  if (endsWithIgnoringCase(fileName, ".csv")) return StationSource::PyradioCsv;
  if (endsWithIgnoringCase(fileName, ".json")) return StationSource::RadiotrayJson;
  switch (detail::sniffText(text)) {
    case PlaylistFormat::M3u: return StationSource::M3u;
    case PlaylistFormat::Pls: return StationSource::Pls;
    case PlaylistFormat::Xspf: return StationSource::Xspf;
    case PlaylistFormat::Asx: return StationSource::Asx;
    case PlaylistFormat::Reference: return StationSource::Reference;
    case PlaylistFormat::Unknown: break;
  }
  const std::string_view start = trimmed(text);
  if (start.starts_with('<'))
    return markup::nameIs(detail::firstElement(start), "stations") ? StationSource::GoodvibesXml
                                                                   : StationSource::Unknown;
  if (detail::looksBinary(text)) return StationSource::Unknown;
  if (start.starts_with('[') || start.starts_with('{')) return StationSource::RadiotrayJson;
  if (looksLikePyradio(text)) return StationSource::PyradioCsv;
  // An M3U of relative entries has nothing else to show what it is.
  if (endsWithIgnoringCase(fileName, ".m3u") || endsWithIgnoringCase(fileName, ".m3u8"))
    return StationSource::M3u;
  return StationSource::Unknown;
}

StationsFound found(StationSource source, EntryCollector& entries) {
  StationsFound result;
  result.source = source;
  result.stations = entries.take();
  result.leftOut = entries.leftOut();
  result.cut = result.leftOut.overCap > 0;
  return result;
}

}  // namespace

StationsFound stationsInFile(std::string_view bytes, std::string_view fileName,
                             std::string_view baseUrl) {
  const std::string text = detail::textOf(bytes.substr(0, kMaxImportBytes));
  if (detail::isHls(text)) return {StationSource::Hls, {}, false, {}};
  EntryCollector entries(baseUrl, kMaxImportStations, true);
  const StationSource source = sourceOf(text, fileName);
  switch (source) {
    case StationSource::M3u: detail::readM3u(text, entries); break;
    case StationSource::Pls: detail::readPls(text, entries); break;
    case StationSource::Xspf: detail::readXspf(text, entries); break;
    case StationSource::Asx: detail::readAsx(text, entries); break;
    case StationSource::Reference: detail::readReference(text, entries); break;
    case StationSource::PyradioCsv: detail::readPyradioCsv(text, entries); break;
    case StationSource::RadiotrayJson: detail::readRadiotrayJson(text, entries); break;
    case StationSource::GoodvibesXml: detail::readGoodvibes(text, entries); break;
    case StationSource::Addresses:
    case StationSource::Hls:
    case StationSource::Unknown: break;
  }
  return found(source, entries);
}

StationsFound stationsInText(std::string_view text) {
  text = text.substr(0, kMaxImportBytes);
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  EntryCollector entries("", kMaxImportStations, true);
  detail::forEachLine(text, [&](std::string_view rawLine) {
    const std::string_view line = trimmed(rawLine);
    // Without a base only absolute addresses resolve.
    if (!line.starts_with('#')) entries.add(line);
    return !entries.full();
  });
  return found(StationSource::Addresses, entries);
}

std::string nameFromAddress(std::string_view url) {
  const std::size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return {};
  std::string_view host = url.substr(scheme + 3);
  host = host.substr(0, host.find_first_of("/?#"));
  if (const std::size_t at = host.rfind('@'); at != std::string_view::npos)
    host.remove_prefix(at + 1);
  if (host.starts_with('['))
    host = host.substr(0, host.find(']') + 1);  // IPv6, kept in its brackets
  else
    host = host.substr(0, host.find(':'));
  std::string name = text::lowered(host.substr(0, kMaxStationNameBytes));
  if (name.starts_with("www.") && name.size() > 4) name.erase(0, 4);
  return name;
}

std::string extendedM3u(std::span<const Station> stations) {
  std::string out = "#EXTM3U\n";
  const auto oneLine = [&](std::string_view s) {
    for (const char c : s) {
      const auto u = static_cast<unsigned char>(c);
      out += u < 0x20 || u == 0x7F ? ' ' : c;
    }
  };
  for (const Station& station : stations) {
    out += "#EXTINF:-1,";
    oneLine(station.name);
    out += '\n';
    oneLine(station.url);
    out += '\n';
  }
  return out;
}

}  // namespace radiolist::formats
