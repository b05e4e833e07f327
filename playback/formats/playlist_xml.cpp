// XSPF, ASX and Goodvibes' station list, read through the forgiving markup scanner.

#include <algorithm>
#include <optional>

#include "playback/formats/markup_scan.h"
#include "playback/formats/playlist.h"
#include "playback/formats/playlist_parts.h"
#include "text/ascii.h"

namespace radiolist::formats::detail {
namespace {

using markup::nameIs;
using markup::Token;
using markup::TokenKind;

// Names are cut to kMaxStationNameBytes later; this keeps what is gathered for one bounded.
constexpr std::size_t kMaxGatheredName = kMaxStationNameBytes * 4;

// The open elements of a document that need not be well-formed, and the xml:base in force
// (XML Base: each one resolves against the one around it, the outermost against the file's own
// address). An end tag closes the nearest open element of its name among the innermost few;
// any other end tag is ignored. Deep nesting is not tracked past kMaxDepth, so memory and time
// per tag stay bounded; a base is resolved only when an entry needs it.
class ElementScope {
 public:
  explicit ElementScope(EntryCollector& entries) : entries_(entries) {
    bases_.push_back({0, {}, entries.base()});
  }

  // The innermost open element's name, "" at the top.
  [[nodiscard]] std::string_view current() const {
    return names_.empty() ? std::string_view{} : names_.back();
  }

  // `reference` resolved against the base in force.
  [[nodiscard]] std::optional<std::string> resolve(std::string_view reference) {
    std::size_t known = bases_.size() - 1;
    while (!bases_[known].resolved) --known;
    for (std::size_t i = known + 1; i < bases_.size(); ++i) {
      // A base that does not resolve to a web address leaves relative entries without one.
      bases_[i].resolved = entries_.resolve(*bases_[i - 1].resolved, bases_[i].raw).value_or("");
    }
    return entries_.resolve(*bases_.back().resolved, reference);
  }

  void open(const Token& tag) {
    if (tag.selfClosing || names_.size() >= kMaxDepth) return;
    names_.push_back(tag.name);
    if (auto xmlBase = markup::attribute(tag.attributes, "xml:base");
        xmlBase && bases_.size() < kMaxBases)
      bases_.push_back({names_.size(), std::move(*xmlBase), std::nullopt});
  }

  void close(std::string_view name) {
    const std::size_t look = std::min(names_.size(), kMaxLookBack);
    for (std::size_t i = 1; i <= look; ++i) {
      if (!text::equalsIgnoringCase(name, names_[names_.size() - i])) continue;
      names_.resize(names_.size() - i);
      while (bases_.back().depth > names_.size()) bases_.pop_back();
      return;
    }
  }

 private:
  static constexpr std::size_t kMaxDepth = 256;
  static constexpr std::size_t kMaxBases = 32;
  static constexpr std::size_t kMaxLookBack = 8;
  struct Base {
    std::size_t depth;  // the number of open elements when it was set
    std::string raw;    // the attribute's value
    std::optional<std::string> resolved;
  };
  EntryCollector& entries_;
  std::vector<std::string_view> names_;
  std::vector<Base> bases_;
};

// Items as a document gives them. The first is held back until a second comes or the document
// ends, so that a lone item without a name of its own takes the document's title.
class Items {
 public:
  explicit Items(EntryCollector& entries) : entries_(entries) {}

  void add(std::vector<std::string> urls, std::string name) {
    ++count_;
    if (count_ == 1) {
      held_ = {std::move(urls), std::move(name)};
      return;
    }
    if (count_ == 2) entries_.addItem(held_.urls, held_.name);
    entries_.addItem(urls, name);
  }

  void finish(std::string_view documentTitle) {
    if (count_ != 1) return;
    entries_.addItem(held_.urls, text::trimmed(held_.name).empty() ? documentTitle : held_.name);
  }

 private:
  struct Item {
    std::vector<std::string> urls;
    std::string name;
  };
  EntryCollector& entries_;
  std::size_t count_ = 0;
  Item held_;
};

void gather(std::string& into, const Token& token, std::size_t limit) {
  if (into.size() > limit) return;
  if (token.kind == TokenKind::Text)
    into += markup::decodeEntities(token.text);
  else if (token.kind == TokenKind::CData)
    into += token.text;
}

bool anyResolved(const std::vector<std::string>& urls) {
  return std::any_of(urls.begin(), urls.end(), [](const std::string& u) { return !u.empty(); });
}

std::string withTrailingSlash(std::string_view href) {
  std::string out(text::trimmed(href));
  if (!out.ends_with('/')) out += '/';
  return out;
}

}  // namespace

void readXspf(std::string_view text, EntryCollector& entries) {
  // Only a track's own <location> is a stream; the playlist's <location> says where the list
  // itself lives. A location not closed before the text ends may be cut short, so it is dropped.
  enum class Field { None, Location, Title, Creator, PlaylistTitle };
  ElementScope scope(entries);
  Items items(entries);
  bool inTrack = false;
  std::vector<std::string> urls;
  std::string title, creator, playlistTitle;
  Field field = Field::None;
  std::string gathered;
  std::string_view fieldName;

  const auto endTrack = [&] {
    items.add(std::move(urls), title.empty() ? creator : title);
    urls.clear();
    title.clear();
    creator.clear();
    inTrack = false;
  };

  markup::Scanner scanner(text);
  for (auto token = scanner.next(); token.kind != TokenKind::End && !entries.full();
       token = scanner.next()) {
    switch (token.kind) {
      case TokenKind::StartTag: {
        const std::string_view parent = scope.current();
        if (nameIs(token.name, "track") && !token.selfClosing) {
          if (inTrack) endTrack();  // a track left open
          scope.open(token);
          inTrack = true;
          break;
        }
        scope.open(token);
        if (field != Field::None || token.selfClosing) break;
        if (inTrack && nameIs(parent, "track")) {
          if (nameIs(token.name, "location")) field = Field::Location;
          if (nameIs(token.name, "title")) field = Field::Title;
          if (nameIs(token.name, "creator")) field = Field::Creator;
        } else if (!inTrack && nameIs(parent, "playlist") && nameIs(token.name, "title")) {
          field = Field::PlaylistTitle;
        }
        if (field != Field::None) {
          gathered.clear();
          fieldName = token.name;
        }
        break;
      }
      case TokenKind::EndTag:
        if (field != Field::None && text::equalsIgnoringCase(token.name, fieldName)) {
          switch (field) {
            case Field::Location:
              // Importing wants one address of a track: the others are not resolved at all.
              if (urls.size() < kMaxEntries && (entries.keepsAlternatives() || !anyResolved(urls)))
                urls.push_back(scope.resolve(gathered).value_or(""));
              break;
            case Field::Title: title = std::move(gathered); break;
            case Field::Creator: creator = std::move(gathered); break;
            case Field::PlaylistTitle: playlistTitle = std::move(gathered); break;
            case Field::None: break;
          }
          field = Field::None;
        }
        scope.close(token.name);
        if (inTrack && nameIs(token.name, "track")) endTrack();
        break;
      case TokenKind::Text:
      case TokenKind::CData:
        if (field != Field::None)
          gather(gathered, token, field == Field::Location ? kMaxEntryBytes : kMaxGatheredName);
        break;
      case TokenKind::End: break;
    }
  }
  if (inTrack) endTrack();
  items.finish(playlistTitle);
}

void readAsx(std::string_view text, EntryCollector& entries) {
  // <base href> as a child of <asx> holds for the whole file, one inside an <entry> for that entry
  // alone; the player adds a '/' to a base that lacks one. An entry's refs are alternatives for
  // one stream. <entryref> names another playlist, which the caller follows.
  std::string asxBase = entries.base();
  {
    bool inEntry = false;
    markup::Scanner scanner(text);
    for (auto token = scanner.next(); token.kind != TokenKind::End; token = scanner.next()) {
      if (nameIs(token.name, "entry") && !token.selfClosing)
        inEntry = token.kind == TokenKind::StartTag;
      if (inEntry || token.kind != TokenKind::StartTag || !nameIs(token.name, "base")) continue;
      if (const auto href = markup::attribute(token.attributes, "href")) {
        asxBase = entries.resolve(entries.base(), withTrailingSlash(*href)).value_or("");
        break;
      }
    }
  }

  Items items(entries);
  bool inEntry = false;
  std::vector<std::string> refs;
  std::optional<std::string> entryBase;
  std::string entryTitle, asxTitle;
  std::string* gathering = nullptr;
  const auto endEntry = [&] {
    const std::string base =
        entryBase ? entries.resolve(asxBase, withTrailingSlash(*entryBase)).value_or("") : asxBase;
    std::vector<std::string> urls;
    for (const std::string& ref : refs) {
      if (!entries.keepsAlternatives() && anyResolved(urls)) break;
      urls.push_back(entries.resolve(base, ref).value_or(""));
    }
    items.add(std::move(urls), std::move(entryTitle));
    refs.clear();
    entryBase.reset();
    entryTitle.clear();
    inEntry = false;
  };

  markup::Scanner scanner(text);
  for (auto token = scanner.next(); token.kind != TokenKind::End && !entries.full();
       token = scanner.next()) {
    if (token.kind == TokenKind::Text || token.kind == TokenKind::CData) {
      if (gathering) gather(*gathering, token, kMaxGatheredName);
      continue;
    }
    if (token.kind == TokenKind::EndTag) {
      if (nameIs(token.name, "title")) gathering = nullptr;
      if (nameIs(token.name, "entry") && inEntry) endEntry();
      continue;
    }
    if (nameIs(token.name, "entry") && !token.selfClosing) {
      if (inEntry) endEntry();
      inEntry = true;
      continue;
    }
    if (nameIs(token.name, "title") && !token.selfClosing) {
      gathering = inEntry ? &entryTitle : &asxTitle;
      gathering->clear();
      continue;
    }
    const bool isRef = nameIs(token.name, "ref");
    const bool isEntryRef = nameIs(token.name, "entryref");
    const bool isBase = nameIs(token.name, "base");
    if (!isRef && !isEntryRef && !isBase) continue;
    const auto href = markup::attribute(token.attributes, "href");
    if (!href) continue;
    if (inEntry && isBase) {
      entryBase = *href;
    } else if (inEntry && isRef) {
      if (refs.size() < kMaxEntries) refs.push_back(*href);
    } else if (!isBase) {
      items.add({entries.resolve(asxBase, *href).value_or("")}, {});
    }
  }
  if (inEntry) endEntry();
  items.finish(asxTitle);
}

void readGoodvibes(std::string_view text, EntryCollector& entries) {
  // <Stations><Station><name>…</name><uri>…</uri></Station>…; the name is optional.
  bool inStation = false;
  std::string name, uri;
  std::string* gathering = nullptr;
  markup::Scanner scanner(text);
  for (auto token = scanner.next(); token.kind != TokenKind::End && !entries.full();
       token = scanner.next()) {
    if (token.kind == TokenKind::Text || token.kind == TokenKind::CData) {
      if (gathering)
        gather(*gathering, token, &name == gathering ? kMaxGatheredName : kMaxEntryBytes);
    } else if (token.kind == TokenKind::StartTag && !token.selfClosing) {
      if (nameIs(token.name, "station")) {
        inStation = true;
        name.clear();
        uri.clear();
      } else if (inStation && (nameIs(token.name, "name") || nameIs(token.name, "uri"))) {
        gathering = nameIs(token.name, "name") ? &name : &uri;
        gathering->clear();
      }
    } else if (token.kind == TokenKind::EndTag) {
      gathering = nullptr;
      if (inStation && nameIs(token.name, "station")) {
        entries.add(uri, name);
        inStation = false;
      }
    }
  }
}

}  // namespace radiolist::formats::detail
