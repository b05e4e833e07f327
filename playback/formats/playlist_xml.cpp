// XSPF and ASX, read through the forgiving markup scanner.

#include "playback/formats/markup_scan.h"
#include "playback/formats/playlist.h"
#include "playback/formats/playlist_parts.h"

namespace radiolist::formats::detail {

using markup::nameIs;
using markup::TokenKind;

void readXspf(std::string_view text, EntryCollector& entries) {
  // Only a track's <location> is a stream; the playlist's own <location> says where the list
  // itself lives. A location not closed before the text ends may be cut short, so it is dropped.
  markup::Scanner scanner(text);
  bool inTrack = false;
  bool inLocation = false;
  std::string location;
  for (auto token = scanner.next(); token.kind != TokenKind::End && !entries.full();
       token = scanner.next()) {
    switch (token.kind) {
      case TokenKind::StartTag:
        if (nameIs(token.name, "track")) {
          inTrack = !token.selfClosing;
          inLocation = false;
        } else if (inTrack && nameIs(token.name, "location") && !token.selfClosing) {
          inLocation = true;
          location.clear();
        }
        break;
      case TokenKind::EndTag:
        if (inLocation && nameIs(token.name, "location")) {
          entries.add(location);
          inLocation = false;
        } else if (nameIs(token.name, "track")) {
          inTrack = false;
          inLocation = false;
        }
        break;
      case TokenKind::Text:
      case TokenKind::CData:
        if (inLocation && location.size() <= kMaxEntryBytes)
          location += token.kind == TokenKind::Text ? markup::decodeEntities(token.text)
                                                    : std::string(token.text);
        break;
      case TokenKind::End: break;
    }
  }
}

void readAsx(std::string_view text, EntryCollector& entries) {
  markup::Scanner scanner(text);
  for (auto token = scanner.next(); token.kind != TokenKind::End && !entries.full();
       token = scanner.next()) {
    if (token.kind != TokenKind::StartTag) continue;
    const bool isEntry = nameIs(token.name, "ref") || nameIs(token.name, "entryref");
    if (!isEntry && !nameIs(token.name, "base")) continue;
    const auto href = markup::attribute(token.attributes, "href");
    if (!href) continue;
    if (isEntry)
      entries.add(*href);
    else
      entries.rebase(*href);
  }
}

}  // namespace radiolist::formats::detail
