// The directory client's pure parts: answers read into rows (hostile ones too), request paths,
// the mirrors named or found in the DNS, and their order.

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "playback/directory/directory_client.h"
#include "playback/directory/mirrors.h"
#include "playback/directory/query.h"
#include "playback/directory/station_list.h"
#include "text/hidden.h"

namespace radiolist::directory {
namespace {

std::string repeat(std::string_view s, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

std::string stationJson(std::string_view name, std::string_view url) {
  return R"({"name":")" + std::string(name) + R"(","url_resolved":")" + std::string(url) + R"("})";
}

TEST(StationList, ReadsTheFieldsOfEachStation) {
  const StationList list = parseStations(R"([
    {"changeuuid":"x","stationuuid":"9B8A7945-be3a-493d-8d77-10a3e61b6aa0","name":" Jazz FM ",
     "url":"http://old.example/a","url_resolved":"http://jazz.example/live","homepage":"h",
     "tags":" jazz , ,smooth jazz,,","country":"Germany","countrycode":"de","codec":"AAC+",
     "bitrate":96,"votes":1234,"lastcheckok":1,"extra":{"nested":[1,2,{"x":"y"}]}},
    {"name":"Plain","url":"https://plain.example:8443/s?x=1","url_resolved":"",
     "lastcheckok":false,"bitrate":128.7,"votes":-3}
  ])",
                                         Origin::Public);
  ASSERT_EQ(list.error, ParseError::None);
  ASSERT_EQ(list.stations.size(), 2u);
  const Station& a = list.stations[0];
  EXPECT_EQ(a.uuid, "9b8a7945-be3a-493d-8d77-10a3e61b6aa0");
  EXPECT_EQ(a.name, "Jazz FM");
  EXPECT_EQ(a.url, "http://jazz.example/live");  // url_resolved over url
  EXPECT_EQ(a.tags, "jazz,smooth jazz");
  EXPECT_EQ(a.country, "Germany");
  EXPECT_EQ(a.countryCode, "DE");
  EXPECT_EQ(a.codec, "AAC+");
  EXPECT_EQ(a.bitrate, 96u);
  EXPECT_EQ(a.votes, 1234);
  EXPECT_TRUE(a.lastCheckOk);
  EXPECT_EQ(a.reach, net::Reach::PublicOnly);
  const Station& b = list.stations[1];
  EXPECT_EQ(b.url, "https://plain.example:8443/s?x=1");  // an empty url_resolved: url
  EXPECT_EQ(b.uuid, "");
  EXPECT_EQ(b.bitrate, 128u);
  EXPECT_EQ(b.votes, 0);
  EXPECT_FALSE(b.lastCheckOk);
  EXPECT_EQ(list.dropped, Dropped{});
  EXPECT_FALSE(list.cut);
}

// Each hostile answer either reads as a list with the bad entries dropped, or is refused whole.
TEST(StationList, HostileAnswers) {
  struct Case {
    const char* what;
    std::string json;
    Origin origin;
    ParseError error;
    std::vector<std::string> urls;  // of the rows, in order
    Dropped dropped;
    bool cut = false;
  };
  const std::string local =
      "[" + stationJson("r", "http://192.168.1.1/") + "," +
      stationJson("l", "http://127.0.0.1:8000/a") + "," + stationJson("h", "http://localhost/") +
      "," + stationJson("6", "http://[::1]:80/") + "," + stationJson("m", "http://printer.local/") +
      "," + stationJson("n", "http://10.1.2.3/") + "," +
      stationJson("ok", "http://public.example/") + "]";
  std::string many = "[";
  for (int i = 0; i < 700; ++i)
    many += (i ? "," : "") + stationJson("s", "http://s" + std::to_string(i) + ".example/");
  many += "]";
  std::vector<std::string> first500;
  for (int i = 0; i < 500; ++i) first500.push_back("http://s" + std::to_string(i) + ".example/");
  const std::vector<Case> cases = {
      {"duplicates by stream address",
       "[" + stationJson("a", "http://x.example/s") + "," + stationJson("b", "http://x.example/s") +
           "," + stationJson("c", " http://x.example/s ") + "]",
       Origin::Public,
       ParseError::None,
       {"http://x.example/s"},
       {.duplicate = 2}},
      {"addresses that are not the web's",
       "[" + stationJson("f", "file:///etc/passwd") + "," +
           stationJson("j", "javascript:alert(1)") + "," + stationJson("s", "ftp://x.example/") +
           "," + stationJson("e", "") + "," + stationJson("b", "http://x.example/a b") + "," +
           stationJson("z", "http://x.example/\\u202e3pm") + "," +
           stationJson("long", "http://x.example/" + repeat("a", 5000)) + "," +
           R"({"name":"no address"})" + "," + stationJson("ok", "http://ok.example/") + "]",
       Origin::Public,
       ParseError::None,
       {"http://ok.example/"},
       {.notWeb = 8}},
      {"the user's own network from a public directory",
       local,
       Origin::Public,
       ParseError::None,
       {"http://public.example/"},
       {.local = 6}},
      {"the user's own network from the user's own directory",
       local,
       Origin::Local,
       ParseError::None,
       {"http://192.168.1.1/", "http://127.0.0.1:8000/a", "http://localhost/", "http://[::1]:80/",
        "http://printer.local/", "http://10.1.2.3/", "http://public.example/"},
       {}},
      {"things in the list that are not stations",
       R"([1,"x",null,true,[],)" + stationJson("ok", "http://ok.example/") + "]",
       Origin::Public,
       ParseError::None,
       {"http://ok.example/"},
       {.notStation = 5}},
      {"more entries than a page holds",
       many,
       Origin::Public,
       ParseError::None,
       first500,
       {},
       true},
      {"empty objects past the page's cap",
       "[" + repeat("{},", 1000) + "{}]",
       Origin::Public,
       ParseError::None,
       {},
       {.notWeb = 500},
       true},
      {"nested as deep as allowed",
       repeat("[", 16) + repeat("]", 16),
       Origin::Public,
       ParseError::None,
       {},
       {.notStation = 1}},
      {"nested one deeper",
       repeat("[", 17) + repeat("]", 17),
       Origin::Public,
       ParseError::TooDeep,
       {},
       {}},
      {"nested 100,000 deep",
       repeat("[", 100000) + repeat("]", 100000),
       Origin::Public,
       ParseError::TooDeep,
       {},
       {}},
      {"nested deep inside a station",
       R"([{"url":"http://a.example/","x":)" + repeat("{\"a\":", 20) + "1" + repeat("}", 20) + "}]",
       Origin::Public,
       ParseError::TooDeep,
       {},
       {}},
      {"an error object",
       R"({"error":"rate limited"})",
       Origin::Public,
       ParseError::NotAList,
       {},
       {}},
      {"a bare number", "42", Origin::Public, ParseError::NotAList, {}, {}},
      {"nothing", "", Origin::Public, ParseError::NotJson, {}, {}},
      {"cut off",
       "[" + stationJson("a", "http://a.example/") + ",{\"name\":\"b",
       Origin::Public,
       ParseError::NotJson,
       {},
       {}},
      {"invalid UTF-8",
       "[{\"name\":\"\xff\xfe\",\"url\":\"http://a.example/\"}]",
       Origin::Public,
       ParseError::NotJson,
       {},
       {}},
      {"trailing junk", "[] []", Origin::Public, ParseError::NotJson, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const StationList list = parseStations(c.json, c.origin);
    EXPECT_EQ(list.error, c.error);
    std::vector<std::string> urls;
    for (const Station& s : list.stations) urls.push_back(s.url);
    EXPECT_EQ(urls, c.urls);
    EXPECT_EQ(list.dropped.notWeb, c.dropped.notWeb);
    EXPECT_EQ(list.dropped.local, c.dropped.local);
    EXPECT_EQ(list.dropped.duplicate, c.dropped.duplicate);
    EXPECT_EQ(list.dropped.notStation, c.dropped.notStation);
    EXPECT_EQ(list.cut, c.cut);
    for (const Station& s : list.stations)
      EXPECT_EQ(s.reach,
                c.origin == Origin::Public ? net::Reach::PublicOnly : net::Reach::Anywhere);
  }
}

TEST(StationList, ShowsHostileTextInOneSafeLine) {
  const StationList list = parseStations(
      R"([{"name":"Radio \u202egnp.exe\nline two\u200b\u0000","url":"http://a.example/",
           "tags":"a\u202eb,\u0007c,\u2028,)" +
          repeat("t", 100) + R"(","country":"\u0085X\t","codec":")" + repeat("\u00e9", 40) +
          R"("},
          {"name":")" +
          repeat("\u044f", 300) + R"(","url":"http://b.example/"}])",
      Origin::Public);
  ASSERT_EQ(list.stations.size(), 2u);
  const Station& a = list.stations[0];
  EXPECT_EQ(a.name, "Radio _gnp.exe line two_");
  // A line separator alone is shown as what it is: a hidden character.
  EXPECT_EQ(a.tags, "a_b,c,_," + repeat("t", kMaxTagBytes));
  EXPECT_EQ(a.country, "_X");
  EXPECT_EQ(a.codec, repeat("\u00e9", kMaxCodecBytes / 2));
  // Cut at a character's boundary: a Cyrillic letter is two bytes.
  EXPECT_EQ(list.stations[1].name, repeat("\u044f", kMaxNameBytes / 2));
  for (const Station& s : list.stations)
    for (const std::string* t : {&s.name, &s.tags, &s.country, &s.codec}) {
      EXPECT_FALSE(text::hasHidden(*t)) << *t;
      EXPECT_EQ(t->find('\n'), std::string::npos);
    }
}

TEST(StationList, NumbersOutOfRangeAreClamped) {
  const StationList list = parseStations(
      R"([{"url":"http://a.example/","bitrate":-5,"votes":18446744073709551615,"lastcheckok":7},
          {"url":"http://b.example/","bitrate":1e300,"votes":"12","lastcheckok":"1"},
          {"url":"http://c.example/","bitrate":"128","votes":1.5e2,"lastcheckok":0}])",
      Origin::Public);
  ASSERT_EQ(list.stations.size(), 3u);
  EXPECT_EQ(list.stations[0].bitrate, 0u);
  EXPECT_GT(list.stations[0].votes, 0);
  EXPECT_TRUE(list.stations[0].lastCheckOk);
  EXPECT_EQ(list.stations[1].bitrate, 100'000u);
  EXPECT_EQ(list.stations[1].votes, 0);  // a string is no number
  EXPECT_FALSE(list.stations[1].lastCheckOk);
  EXPECT_EQ(list.stations[2].bitrate, 0u);
  EXPECT_EQ(list.stations[2].votes, 150);
}

TEST(StationList, ClickAnswer) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {R"({"ok":true,"message":"retrieved station url","url":"http://a/"})", true},
      {R"({"ok":false,"message":"not found"})", false},
      {R"({"ok":"true"})", false},
      {R"({"a":{"ok":true}})", false},
      {R"([{"ok":true}])", false},
      {"true", false},
      {R"({"ok":true)", false},
      {R"({"x":)" + repeat("[", 40) + repeat("]", 40) + R"(,"ok":true})", false},
  };
  for (const auto& [json, counted] : cases) EXPECT_EQ(clickCounted(json), counted) << json;
}

TEST(Query, PathsCarryTheUsersTextEncoded) {
  Query q;
  q.name = "Jazz & Blues/\xc3\xbc?\nnext";
  q.tag = "  ";
  q.countryCode = "DE";
  q.codec = "AAC+";
  q.bitrateMin = 128;
  q.limit = 10'000;
  q.offset = 40;
  EXPECT_EQ(searchPath(q),
            "/json/stations/search?name=Jazz%20%26%20Blues%2F%C3%BC%3F%20next&countrycode=DE"
            "&codec=AAC%2B&bitrateMin=128&order=votes&reverse=true&hidebroken=true&limit=500"
            "&offset=40");
  Query plain;
  plain.order = Order::Name;
  plain.reverse = false;
  plain.hideBroken = false;
  plain.limit = 0;
  EXPECT_EQ(searchPath(plain),
            "/json/stations/search?order=name&reverse=false&hidebroken=false&limit=1&offset=0");
  Query longName;
  longName.name = repeat("\xd1\x8f", 150);  // 300 bytes: cut to the cap, never inside a letter
  const std::string path = searchPath(longName);
  EXPECT_NE(path.find("name=" + repeat("%D1%8F", kMaxQueryTextBytes / 2) + "&"), std::string::npos);

  const std::vector<std::string> uuids = {"A1-b2", "../admin", "", "c3 d4", "e5"};
  EXPECT_EQ(byUuidPath(uuids), "/json/stations/byuuid?uuids=A1-b2,e5");
  EXPECT_EQ(byUuidPath(std::vector<std::string>{"x/y"}), "");
  EXPECT_EQ(byUuidPath(std::vector<std::string>(300, "ab")).size(),
            std::string("/json/stations/byuuid?uuids=").size() + kMaxUuidsPerRequest * 3 - 1);
  EXPECT_EQ(clickPath("9b8a7945-be3a-493d-8d77-10a3e61b6aa0"),
            "/json/url/9b8a7945-be3a-493d-8d77-10a3e61b6aa0");
  EXPECT_EQ(clickPath("../../stats"), "");
  EXPECT_EQ(clickPath(repeat("a", kMaxUuidBytes + 1)), "");
}

TEST(Mirrors, NamedInTheEnvironment) {
  const std::vector<Mirror> mirrors = mirrorsFromList(
      " http://127.0.0.1:8080/ ,https://de1.api.radio-browser.info,ftp://x.example,,"
      "http://192.168.0.2:5000/rb/,http://a.example/?q=1,http://rb.local,"
      "http://127.0.0.1:8080");
  const std::vector<Mirror> expected = {
      {"http://127.0.0.1:8080", net::Reach::Anywhere, Origin::Local},
      {"https://de1.api.radio-browser.info", net::Reach::PublicOnly, Origin::Public},
      {"http://192.168.0.2:5000/rb", net::Reach::Anywhere, Origin::Local},
      {"http://rb.local", net::Reach::Anywhere, Origin::Local},
  };
  EXPECT_EQ(mirrors, expected);
  EXPECT_TRUE(mirrorsFromList("").empty());
  EXPECT_EQ(mirrorsFromList(repeat("http://a.example,", 40)).size(), 1u);

  ::setenv("RADIOLIST_DIRECTORY", "http://127.0.0.1:9/", 1);
  const ClientOptions named = optionsFromEnvironment();
  ASSERT_TRUE(named.mirrors.has_value());
  EXPECT_EQ(named.mirrors->size(), 1u);
  ::setenv("RADIOLIST_DIRECTORY", "not an address", 1);
  const ClientOptions broken = optionsFromEnvironment();
  // Named but unusable: nothing is asked, rather than the public directory.
  ASSERT_TRUE(broken.mirrors.has_value());
  EXPECT_TRUE(broken.mirrors->empty());
  ::unsetenv("RADIOLIST_DIRECTORY");
  EXPECT_FALSE(optionsFromEnvironment().mirrors.has_value());
  EXPECT_EQ(defaultUserAgent().rfind("radiolist/", 0), 0u);
}

TEST(Mirrors, HostsFromTheDns) {
  EXPECT_EQ(mirrorForHost("DE1.api.radio-browser.info.", 443)->base,
            "https://de1.api.radio-browser.info");
  EXPECT_EQ(mirrorForHost("fi1.api.radio-browser.info", 8443)->base,
            "https://fi1.api.radio-browser.info:8443");
  for (const char* bad :
       {"", ".", "localhost", "x.localhost", "printer.local", "10.0.0.1", "127.0.0.1",
        "a b.example", "a/b.example", "-a.example", "a..example", "a.example@b", "[::1]"})
    EXPECT_FALSE(mirrorForHost(bad, 443).has_value()) << bad;
  EXPECT_FALSE(mirrorForHost("a.example", 0).has_value());
}

// A DNS answer message as a resolver hands it over, built by hand.
class DnsMessage {
 public:
  explicit DnsMessage(int answers) {
    bytes_ = {0x12, 0x34, 0x81, 0x80, 0, 1, 0, static_cast<unsigned char>(answers), 0, 0, 0, 0};
    name("_api._tcp.radio-browser.info");
    bytes_.insert(bytes_.end(), {0, 33, 0, 1});
  }
  void name(std::string_view dotted) {
    while (!dotted.empty()) {
      const std::size_t dot = std::min(dotted.find('.'), dotted.size());
      bytes_.push_back(static_cast<unsigned char>(dot));
      bytes_.insert(bytes_.end(), dotted.begin(), dotted.begin() + static_cast<long>(dot));
      dotted.remove_prefix(std::min(dot + 1, dotted.size()));
    }
    bytes_.push_back(0);
  }
  // An answer record for the question's name; `rdata` after type, class, TTL and length.
  void record(int type, const std::vector<unsigned char>& rdata) {
    bytes_.insert(bytes_.end(), {0xc0, 12, 0, static_cast<unsigned char>(type), 0, 1, 0, 0, 1, 0,
                                 static_cast<unsigned char>(rdata.size() >> 8),
                                 static_cast<unsigned char>(rdata.size() & 0xff)});
    bytes_.insert(bytes_.end(), rdata.begin(), rdata.end());
  }
  static std::vector<unsigned char> srv(int priority, int weight, int port, std::string_view host) {
    DnsMessage n(0);
    n.bytes_.clear();
    n.name(host);
    std::vector<unsigned char> r = {0,
                                    static_cast<unsigned char>(priority),
                                    0,
                                    static_cast<unsigned char>(weight),
                                    static_cast<unsigned char>(port >> 8),
                                    static_cast<unsigned char>(port & 0xff)};
    r.insert(r.end(), n.bytes_.begin(), n.bytes_.end());
    return r;
  }
  std::vector<unsigned char> bytes_;
};

TEST(Mirrors, SrvAnswers) {
  DnsMessage m(4);
  m.record(33, DnsMessage::srv(1, 10, 443, "de1.api.radio-browser.info"));
  m.record(1, {192, 0, 2, 1});       // an A record among them is skipped
  m.record(33, {0, 1, 0, 1, 0x01});  // too short for an SRV record
  m.record(33, DnsMessage::srv(2, 5, 8443, "nl1.api.radio-browser.info"));
  const std::vector<SrvTarget> expected = {{1, 10, 443, "de1.api.radio-browser.info"},
                                           {2, 5, 8443, "nl1.api.radio-browser.info"}};
  EXPECT_EQ(parseSrvAnswer(m.bytes_), expected);

  // A target that points at itself (a compression loop) is skipped; the rest stands.
  DnsMessage loop(2);
  const std::size_t at = loop.bytes_.size() + 12 + 6;  // where the target will begin
  loop.record(33, {0, 1, 0, 1, 1, 0xbb, static_cast<unsigned char>(0xc0 | (at >> 8)),
                   static_cast<unsigned char>(at & 0xff)});
  loop.record(33, DnsMessage::srv(1, 1, 443, "at1.api.radio-browser.info"));
  ASSERT_EQ(parseSrvAnswer(loop.bytes_).size(), 1u);
  EXPECT_EQ(parseSrvAnswer(loop.bytes_)[0].host, "at1.api.radio-browser.info");

  // Cut anywhere, the message gives no record it does not hold whole, and never crashes.
  for (std::size_t n = 0; n < m.bytes_.size(); ++n) {
    const auto cut = std::span(m.bytes_).first(n);
    EXPECT_LE(parseSrvAnswer(cut).size(), 1u) << n;
  }
  DnsMessage many(40);
  for (int i = 0; i < 40; ++i)
    many.record(33, DnsMessage::srv(1, 1, 443, "m" + std::to_string(i) + ".example"));
  EXPECT_EQ(parseSrvAnswer(many.bytes_).size(), kMaxMirrors);
}

TEST(Mirrors, Order) {
  const auto named = [](std::initializer_list<const char*> hosts) {
    std::vector<Mirror> v;
    for (const char* h : hosts) v.push_back(*mirrorForHost(h, 443));
    return v;
  };
  const auto bases = [](const std::vector<Mirror>& v) {
    std::set<std::string> s;
    for (const Mirror& m : v) s.insert(m.base);
    return s;
  };
  std::mt19937 random(7);
  const auto srv = named({"a.example", "b.example", "c.example", "b.example"});
  const auto reverse = named({"d.example"});
  auto order = discoveredOrder(srv, reverse, "https://b.example", random);
  ASSERT_EQ(order.size(), 3u);  // each host once, the reverse names not needed
  EXPECT_EQ(order.front().base, "https://b.example");
  EXPECT_EQ(bases(order), bases(named({"a.example", "b.example", "c.example"})));

  EXPECT_EQ(bases(discoveredOrder({}, reverse, "", random)), bases(reverse));
  const auto fallback = discoveredOrder({}, {}, "", random);
  ASSERT_EQ(fallback.size(), 1u);
  EXPECT_EQ(fallback[0].base, "https://all.api.radio-browser.info");
  EXPECT_EQ(fallback[0].reach, net::Reach::PublicOnly);

  // Shuffled: over a few draws the first mirror is not always the same one.
  std::set<std::string> firsts;
  for (int i = 0; i < 30; ++i) firsts.insert(discoveredOrder(srv, {}, "", random).front().base);
  EXPECT_GT(firsts.size(), 1u);

  // Named mirrors keep their order; the remembered one (if named) leads.
  const auto list = named({"a.example", "b.example", "c.example"});
  EXPECT_EQ(rememberedFirst(list, "https://c.example"),
            named({"c.example", "a.example", "b.example"}));
  EXPECT_EQ(rememberedFirst(list, "https://z.example"), list);
}

}  // namespace
}  // namespace radiolist::directory
