#include "playback/directory/station_list.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <unordered_set>

#include "playback/formats/page_scan.h"
#include "playback/net/url_check.h"
#include "text/ascii.h"
#include "text/hidden.h"
#include "text/utf8.h"

namespace radiolist::directory {
namespace {

using Json = nlohmann::json;

// The fields of a station read, as the directory sent them (each copied with a cap).
enum class Field {
  None,
  Uuid,
  Name,
  Url,
  UrlResolved,
  Country,
  CountryCode,
  Codec,
  Tags,
  Bitrate,
  Votes,
  LastCheckOk
};

Field fieldNamed(std::string_view key) {
  static constexpr std::pair<std::string_view, Field> kFields[] = {
      {"stationuuid", Field::Uuid},
      {"name", Field::Name},
      {"url", Field::Url},
      {"url_resolved", Field::UrlResolved},
      {"country", Field::Country},
      {"countrycode", Field::CountryCode},
      {"codec", Field::Codec},
      {"tags", Field::Tags},
      {"bitrate", Field::Bitrate},
      {"votes", Field::Votes},
      {"lastcheckok", Field::LastCheckOk}};
  for (const auto& [name, field] : kFields)
    if (name == key) return field;
  return Field::None;
}

// Raw text kept of one field: enough to tell an over-long address, and every cap with room for
// the characters the cleaning drops.
constexpr std::size_t kMaxRawFieldBytes = kMaxStationUrlBytes + 1;
constexpr std::size_t kMaxRawTagsBytes = 4096;

std::string cleanUuid(std::string_view raw) {
  if (raw.empty() || raw.size() > kMaxUuidBytes) return {};
  std::string uuid = text::lowered(raw);
  for (const char c : uuid)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == '-')) return {};
  return uuid;
}

std::string cleanCountryCode(std::string_view raw) {
  if (raw.size() != 2) return {};
  std::string code;
  for (const char c : raw) {
    const char upper = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    if (upper < 'A' || upper > 'Z') return {};
    code.push_back(upper);
  }
  return code;
}

std::string cleanTags(std::string_view raw) {
  raw = raw.substr(0, kMaxRawTagsBytes);
  std::string tags;
  while (!raw.empty()) {
    const std::size_t comma = std::min(raw.find(','), raw.size());
    const std::string tag = shownText(raw.substr(0, comma), kMaxTagBytes);
    raw.remove_prefix(std::min(comma + 1, raw.size()));
    if (tag.empty()) continue;
    if (tags.size() + (tags.empty() ? 0 : 1) + tag.size() > kMaxTagsBytes) break;
    if (!tags.empty()) tags.push_back(',');
    tags += tag;
  }
  return tags;
}

template <typename T>
T clamped(double value, T most) {
  if (!std::isfinite(value) || value <= 0) return 0;
  if (value >= static_cast<double>(most)) return most;
  return static_cast<T>(value);
}

// Reads the top-level array's objects as stations. Depth counts open arrays and objects: the
// list is 1, a station 2, anything inside a station 3 and more (ignored).
class StationEvents : public nlohmann::json_sax<Json> {
 public:
  StationEvents(Origin origin, StationList& out) : origin_(origin), out_(out) {}

  enum class Stop { None, Full, TooDeep, NotAList };
  Stop stop = Stop::None;
  std::size_t errorAt = 0;

  bool null() override { return scalar(); }
  bool boolean(bool value) override {
    if (atField()) number(value ? 1.0 : 0.0);
    return scalar();
  }
  bool number_integer(number_integer_t value) override {
    if (atField()) number(static_cast<double>(value));
    return scalar();
  }
  bool number_unsigned(number_unsigned_t value) override {
    if (atField()) number(static_cast<double>(value));
    return scalar();
  }
  bool number_float(number_float_t value, const string_t&) override {
    if (atField()) number(value);
    return scalar();
  }
  bool binary(binary_t&) override { return scalar(); }
  bool string(string_t& value) override {
    if (atField()) text(value);
    return scalar();
  }
  bool key(string_t& name) override {
    field_ = depth_ == 2 ? fieldNamed(name) : Field::None;
    return true;
  }

  bool start_object(std::size_t) override {
    if (!enter(false)) return false;
    if (depth_ == 2) station_ = Raw{};
    return true;
  }
  bool end_object() override {
    if (depth_ == 2) finishStation();
    --depth_;
    return true;
  }
  bool start_array(std::size_t) override { return enter(true); }
  bool end_array() override {
    --depth_;
    return true;
  }
  bool parse_error(std::size_t position, const std::string&,
                   const nlohmann::detail::exception&) override {
    errorAt = position;
    return false;
  }

 private:
  struct Raw {
    std::string uuid, name, url, urlResolved, country, countryCode, codec, tags;
    double bitrate = 0, votes = 0;
    bool lastCheckOk = false;
  };

  [[nodiscard]] bool atField() const { return depth_ == 2 && field_ != Field::None; }

  // An element of the list starts (or the whole answer is something else).
  bool element() {
    if (out_.stations.size() + entriesDropped() >= kMaxStationsPerPage) {
      out_.cut = true;
      stop = Stop::Full;
      return false;
    }
    return true;
  }
  [[nodiscard]] std::size_t entriesDropped() const {
    const Dropped& d = out_.dropped;
    return d.notWeb + d.local + d.duplicate + d.notStation;
  }

  bool enter(bool array) {
    field_ = Field::None;
    if (depth_ == 0 && !array) {  // only an array is a list
      stop = Stop::NotAList;
      return false;
    }
    if (depth_ == 1) {
      if (!element()) return false;
      if (array) ++out_.dropped.notStation;
    }
    if (++depth_ > kMaxJsonDepth) {
      stop = Stop::TooDeep;
      return false;
    }
    return true;
  }

  bool scalar() {
    const bool top = depth_ == 0;
    field_ = Field::None;
    if (top) {
      stop = Stop::NotAList;
      return false;
    }
    if (depth_ == 1) {
      if (!element()) return false;
      ++out_.dropped.notStation;
    }
    return true;
  }

  void number(double value) {
    switch (field_) {
      case Field::Bitrate: station_.bitrate = value; break;
      case Field::Votes: station_.votes = value; break;
      case Field::LastCheckOk: station_.lastCheckOk = value != 0; break;
      default: break;
    }
  }

  void text(const std::string& value) {
    const std::string_view kept = std::string_view(value).substr(0, kMaxRawFieldBytes);
    switch (field_) {
      case Field::Uuid: station_.uuid = kept; break;
      case Field::Name: station_.name = kept; break;
      case Field::Url: station_.url = kept; break;
      case Field::UrlResolved: station_.urlResolved = kept; break;
      case Field::Country: station_.country = kept; break;
      case Field::CountryCode: station_.countryCode = kept; break;
      case Field::Codec: station_.codec = kept; break;
      case Field::Tags: station_.tags = std::string_view(value).substr(0, kMaxRawTagsBytes); break;
      default: break;
    }
  }

  void finishStation() {
    const std::string_view url =
        text::trimmed(station_.urlResolved.empty() ? station_.url : station_.urlResolved);
    if (url.size() > kMaxStationUrlBytes || !net::isPlausibleStreamUrl(url) ||
        text::hasHidden(url)) {
      ++out_.dropped.notWeb;
      return;
    }
    if (origin_ == Origin::Public && formats::isLocalHost(formats::urlHost(url))) {
      ++out_.dropped.local;
      return;
    }
    if (!seen_.emplace(url).second) {
      ++out_.dropped.duplicate;
      return;
    }
    Station s;
    s.uuid = cleanUuid(station_.uuid);
    s.name = shownText(station_.name, kMaxNameBytes);
    s.url = url;
    s.country = shownText(station_.country, kMaxCountryBytes);
    s.countryCode = cleanCountryCode(station_.countryCode);
    s.codec = shownText(station_.codec, kMaxCodecBytes);
    s.tags = cleanTags(station_.tags);
    s.bitrate = clamped<std::uint32_t>(station_.bitrate, 100'000);
    s.votes = clamped<std::int64_t>(station_.votes, std::numeric_limits<std::int64_t>::max() / 2);
    s.lastCheckOk = station_.lastCheckOk;
    s.reach = origin_ == Origin::Public ? net::Reach::PublicOnly : net::Reach::Anywhere;
    out_.stations.push_back(std::move(s));
  }

  const Origin origin_;
  StationList& out_;
  int depth_ = 0;
  Field field_ = Field::None;
  Raw station_;
  std::unordered_set<std::string> seen_;
};

}  // namespace

std::string shownText(std::string_view raw, std::size_t maxBytes) {
  const std::string valid = utf8::sanitized(raw.substr(0, maxBytes * 4 + 4));
  const std::string line = utf8::oneLineCapped(valid, maxBytes);
  const std::string shown = text::replaceHidden(line, '_');
  return std::string(text::trimmed(shown));
}

StationList parseStations(std::string_view json, Origin origin) {
  StationList out;
  StationEvents events(origin, out);
  bool complete = false;
  try {
    complete = Json::sax_parse(json.begin(), json.end(), &events);
  } catch (const Json::exception&) {
    complete = false;
  }
  if (complete || events.stop == StationEvents::Stop::Full) return out;
  StationList failed;
  failed.errorAt = events.errorAt;
  switch (events.stop) {
    case StationEvents::Stop::TooDeep: failed.error = ParseError::TooDeep; break;
    case StationEvents::Stop::NotAList: failed.error = ParseError::NotAList; break;
    default: failed.error = ParseError::NotJson; break;
  }
  return failed;
}

namespace {

// {"ok": true, ...} at the top; nothing deeper than kMaxJsonDepth.
class ClickEvents : public nlohmann::json_sax<Json> {
 public:
  bool ok = false;
  bool null() override { return value(); }
  bool boolean(bool v) override {
    if (depth_ == 1 && atOk_) ok = v;
    return value();
  }
  bool number_integer(number_integer_t) override { return value(); }
  bool number_unsigned(number_unsigned_t) override { return value(); }
  bool number_float(number_float_t, const string_t&) override { return value(); }
  bool binary(binary_t&) override { return value(); }
  bool string(string_t&) override { return value(); }
  bool key(string_t& name) override {
    atOk_ = depth_ == 1 && name == "ok";
    return true;
  }
  bool start_object(std::size_t) override { return enter(true); }
  bool end_object() override { return leave(); }
  bool start_array(std::size_t) override { return enter(false); }
  bool end_array() override { return leave(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  bool value() {
    atOk_ = false;
    return depth_ > 0;  // a bare value is no answer
  }
  bool enter(bool object) {
    atOk_ = false;
    if (depth_ == 0 && !object) return false;
    return ++depth_ <= kMaxJsonDepth;
  }
  bool leave() {
    --depth_;
    return true;
  }
  int depth_ = 0;
  bool atOk_ = false;
};

}  // namespace

bool clickCounted(std::string_view json) {
  ClickEvents events;
  try {
    return Json::sax_parse(json.begin(), json.end(), &events) && events.ok;
  } catch (const Json::exception&) {
    return false;
  }
}

}  // namespace radiolist::directory
