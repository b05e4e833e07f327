// Other players' station lists: pyradio's stations.csv and Radiotray-NG's bookmarks.json.
// (Goodvibes' stations.xml is markup: playlist_xml.cpp reads it.)

#include <nlohmann/json.hpp>

#include "playback/formats/playlist_parts.h"
#include "text/ascii.h"

namespace radiolist::formats::detail {
namespace {

// Fields longer than this can hold neither an address nor a name worth keeping.
constexpr std::size_t kMaxFieldBytes = kMaxEntryBytes + 1;

// Radiotray-NG: [{"group": "...", "image": "...", "stations": [{"name": "...", "url": "...",
// "image": "..."}, ...]}, ...]. Read as events, so that nothing but the stations is kept and
// nesting is refused past kMaxDepth (a parser building the whole tree would recurse through it).
class BookmarkEvents : public nlohmann::json_sax<nlohmann::json> {
 public:
  explicit BookmarkEvents(EntryCollector& entries) : entries_(entries) {}

  bool null() override { return value(); }
  bool boolean(bool) override { return value(); }
  bool number_integer(number_integer_t) override { return value(); }
  bool number_unsigned(number_unsigned_t) override { return value(); }
  bool number_float(number_float_t, const string_t&) override { return value(); }
  bool binary(binary_t&) override { return value(); }
  bool string(string_t& text) override {
    if (inStation() && (key_ == "name" || key_ == "url"))
      (key_ == "name" ? name_ : url_) = text.substr(0, kMaxFieldBytes);
    return value();
  }

  bool start_object(std::size_t) override {
    if (!enter()) return false;
    if (stationsDepth_ > 0 && depth_ == stationsDepth_ + 1) {
      name_.clear();
      url_.clear();
    }
    return true;
  }
  bool end_object() override {
    if (inStation()) entries_.add(url_, name_);
    --depth_;
    return !entries_.full();
  }
  bool start_array(std::size_t) override {
    const bool stations = key_ == "stations" && stationsDepth_ == 0;
    if (!enter()) return false;
    if (stations) stationsDepth_ = depth_;
    return true;
  }
  bool end_array() override {
    if (depth_ == stationsDepth_) stationsDepth_ = 0;
    --depth_;
    return true;
  }
  bool key(string_t& name) override {
    key_ = name.size() <= 16 ? name : std::string{};
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;  // what came before the error is kept
  }

 private:
  static constexpr int kMaxDepth = 32;
  [[nodiscard]] bool inStation() const {
    return stationsDepth_ > 0 && depth_ == stationsDepth_ + 1;
  }
  bool value() {
    key_.clear();
    return true;
  }
  bool enter() {
    key_.clear();
    return ++depth_ <= kMaxDepth;
  }

  EntryCollector& entries_;
  int depth_ = 0;          // open arrays and objects
  int stationsDepth_ = 0;  // the depth of the "stations" array being read, 0 outside one
  std::string key_;        // the key whose value comes next, "" for none of interest
  std::string name_, url_;
};

// One CSV field from `i` as Python's csv module reads it with skipinitialspace: "" inside quotes
// is one '"', and text after the closing quote is kept. Stops at ',', a line end or the end.
std::string csvField(std::string_view text, std::size_t& i) {
  std::string field;
  const auto keep = [&](std::string_view part) {
    if (field.size() < kMaxFieldBytes) field += part.substr(0, kMaxFieldBytes - field.size());
  };
  while (i < text.size() && text[i] == ' ') ++i;
  if (i < text.size() && text[i] == '"') {
    ++i;
    while (i < text.size()) {
      const std::size_t quote = std::min(text.find('"', i), text.size());
      keep(text.substr(i, quote - i));
      i = quote + 1;
      if (i >= text.size() || text[i] != '"') break;
      keep("\"");
      ++i;
    }
    i = std::min(i, text.size());
  }
  const std::size_t end = std::min(text.find_first_of(",\r\n", i), text.size());
  keep(text.substr(i, end - i));
  i = end;
  return field;
}

}  // namespace

void readPyradioCsv(std::string_view text, EntryCollector& entries) {
  // name,url[,encoding,icon,profile,…]; lines starting with '#' are comments; a url of "-" makes
  // the line a group heading.
  std::size_t i = 0;
  while (i < text.size() && !entries.full()) {
    if (text[i] == '#') {
      i = std::min(text.find_first_of("\r\n", i), text.size());
    } else {
      std::string name = csvField(text, i);
      std::string url;
      if (i < text.size() && text[i] == ',') url = csvField(text, ++i);
      while (i < text.size() && text[i] == ',') (void)csvField(text, ++i);
      if (text::trimmed(url) != "-") entries.add(url, name);
    }
    if (i < text.size() && text[i] == '\r') ++i;
    if (i < text.size() && text[i] == '\n') ++i;
  }
}

void readRadiotrayJson(std::string_view text, EntryCollector& entries) {
  BookmarkEvents events(entries);
  try {
    (void)nlohmann::json::sax_parse(text.begin(), text.end(), &events);
  } catch (const nlohmann::json::exception&) {
    // Whatever was read before stays; the rest of the file is not a bookmark list.
  }
}

}  // namespace radiolist::formats::detail
