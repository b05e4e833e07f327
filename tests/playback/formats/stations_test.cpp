#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "playback/formats/stations.h"

namespace radiolist::formats {
namespace {

using Stations = std::vector<Station>;

struct FileCase {
  const char* what;
  std::string_view fileName;
  std::string_view base;
  std::string bytes;
  StationSource source;
  Stations stations;
};

TEST(StationsInFile, RealLookingFilesOfEveryFormat) {
  const std::vector<FileCase> cases = {
      {"extended M3U with attributes",
       "list.m3u",
       "http://h/d/list.m3u",
       "#EXTM3U\r\n#EXTINF:-1 tvg-name=\"A, B\" tvg-logo=\"x.png\", Radio A \r\n#EXTVLCOPT:x=1\r\n"
       "http://a/1\r\nhttp://a/2\r\n#EXTINF:-1,Rel\r\nlive.mp3\r\n",
       StationSource::M3u,
       {{"Radio A", "http://a/1"}, {"", "http://a/2"}, {"Rel", "http://h/d/live.mp3"}}},
      {"PLS paired by number, a cp1251 title",
       "x.pls",
       "file:///home/u/x.pls",
       "[playlist]\nTitle2=Two\nfile2=http://a/2\nFile1=http://a/1\nTITLE1=\xD0\xE0\xE4\xE8\xEE\n"
       "File3=relative.mp3\nNumberOfEntries=3\n",
       StationSource::Pls,
       {{"\xD0\xA0\xD0\xB0\xD0\xB4\xD0\xB8\xD0\xBE", "http://a/1"}, {"Two", "http://a/2"}}},
      {"XSPF with nested xml:base",
       "a.xspf",
       "http://h/lists/a.xspf",
       R"(<playlist xmlns="http://xspf.org/ns/0/" xml:base="http://cdn.example/x/">
  <title>Ignored: two tracks</title>
  <trackList xml:base="sub/">
    <track><title>One &amp; Only</title><location>one.mp3</location>
      <location>http://alt/one</location></track>
    <track xml:base="/top/"><creator>Two</creator><location>../two.ogg</location></track>
    <track><location xml:base="http://own/">three</location></track>
    <track><extension><title>not the name</title></extension><location>four</location></track>
  </trackList>
</playlist>)",
       StationSource::Xspf,
       {{"One & Only", "http://cdn.example/x/sub/one.mp3"},
        {"Two", "http://cdn.example/two.ogg"},
        {"", "http://own/three"},
        {"", "http://cdn.example/x/sub/four"}}},
      {"XSPF of one track named by the playlist, from a local file",
       "one.xspf",
       "file:///home/u/one.xspf",
       "<playlist><title>Solo FM</title><trackList><track><location>rel.mp3</location>"
       "<location>https://solo/live</location></track></trackList></playlist>",
       StationSource::Xspf,
       {{"Solo FM", "https://solo/live"}}},
      {"ASX with its own and an entry's base",
       "r.asx",
       "http://h/r.asx",
       R"(<ASX version="3.0"><Title>Only one?</Title>
  <Entry><Title>First</Title><Ref href="a.mp3"/><Ref href="http://alt/a"/></Entry>
  <Entry><BASE HREF="http://entry.example/e"/><ref href="b.mp3"/><title>Second</title></Entry>
  <EntryRef href="more.asx"/>
  <Base href="http://asx.example/d"/>
</ASX>)",
       StationSource::Asx,
       {{"First", "http://asx.example/d/a.mp3"},
        {"Second", "http://entry.example/e/b.mp3"},
        {"", "http://asx.example/d/more.asx"}}},
      {"Windows Media reference",
       "x.asx",
       "",
       "[Reference]\r\nRef2=http://a/2\r\nRef1=http://a/1\r\n",
       StationSource::Reference,
       {{"", "http://a/1"}, {"", "http://a/2"}}},
      {"pyradio with quoting, comments and groups",
       "stations.csv",
       "",
       "# my stations\nJazz,-\n\"Name, with comma\",http://a/1,utf-8,icon.png\n"
       "\"Say \"\"hi\"\"\", https://a/2\nNo url\n\n  Spaced  ,  http://a/3  \n",
       StationSource::PyradioCsv,
       {{"Name, with comma", "http://a/1"},
        {"Say \"hi\"", "https://a/2"},
        {"Spaced", "http://a/3"}}},
      {"pyradio known by its lines alone",
       "",
       "",
       "Radio,http://a/1\n",
       StationSource::PyradioCsv,
       {{"Radio", "http://a/1"}}},
      {"Radiotray-NG bookmarks",
       "bookmarks.json",
       "",
       R"([{"group": "root", "image": null, "stations": []},
 {"group": "Jazz", "stations": [{"name": "J1", "url": "http://a/1", "image": {"url": "no"}},
  {"url": "http://a/2", "name": "J\u00e9 2", "notifications": true}, {"name": "no url"}]}])",
       StationSource::RadiotrayJson,
       {{"J1", "http://a/1"}, {"J\xC3\xA9 2", "http://a/2"}}},
      {"Goodvibes",
       "stations.xml",
       "",
       "<?xml version='1.0'?>\n<Stations>\n  <Station>\n    <name>Rock &amp; Roll</name>\n"
       "    <uri>http://a/1?x=1&amp;y=2</uri>\n  </Station>\n  <Station><uri>http://a/2</uri>"
       "</Station>\n</Stations>",
       StationSource::GoodvibesXml,
       {{"Rock & Roll", "http://a/1?x=1&y=2"}, {"", "http://a/2"}}},
      {"HLS gives its address, never its segments",
       "live.m3u8",
       "http://h/live.m3u8",
       "#EXTM3U\n#EXT-X-TARGETDURATION:6\n#EXTINF:6,\nseg1.ts\n",
       StationSource::Hls,
       {}},
      {"binary junk",
       "song.m3u",
       "http://h/",
       std::string("ID3\x03\0\0\0\0\0\x0F\xFF\xFB\x90\x64\x01\x02http://a/\x05\x06\x07", 28),
       StationSource::Unknown,
       {}},
      {"nesting past the bound",
       "bookmarks.json",
       "",
       std::string(100'000, '['),
       StationSource::RadiotrayJson,
       {}},
  };
  for (const FileCase& c : cases) {
    const StationsFound found = stationsInFile(c.bytes, c.fileName, c.base);
    EXPECT_EQ(found.source, c.source) << c.what;
    EXPECT_EQ(found.stations, c.stations) << c.what;
    EXPECT_FALSE(found.cut) << c.what;
  }
}

TEST(StationsInFile, KeepsAtMostTenThousandAndSaysSo) {
  for (const std::size_t lines : {kMaxImportStations, kMaxImportStations + 1}) {
    std::string m3u = "#EXTM3U\n";
    for (std::size_t i = 0; i < lines; ++i) m3u += "http://a/" + std::to_string(i) + "\n";
    const StationsFound found = stationsInFile(m3u, "big.m3u", "");
    EXPECT_EQ(found.stations.size(), kMaxImportStations);
    EXPECT_EQ(found.stations.back().url, "http://a/9999");
    EXPECT_EQ(found.cut, lines > kMaxImportStations);
  }
}

TEST(StationsInText, AbsoluteWebAddressesOnePerLine) {
  const StationsFound found = stationsInText(
      "# from a browser\r\nhttp://a/1\r\n  https://a/2  \nrelative.mp3\nftp://a/3\n"
      "file:///m.mp3\n\nHTTP://A/4");
  EXPECT_EQ(found.source, StationSource::Addresses);
  EXPECT_EQ(found.stations,
            (Stations{{"", "http://a/1"}, {"", "https://a/2"}, {"", "http://A/4"}}));
}

TEST(NameFromAddress, TheHostWithoutWww) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"http://www.Radio.Example:8000/live?x=1", "radio.example"},
      {"https://user:pw@stream.example#f", "stream.example"},
      {"http://[2001:db8::1]:8000/", "[2001:db8::1]"},
      {"http://www./x", "www."},
      {"not an address", ""},
  };
  for (const auto& [url, name] : cases) EXPECT_EQ(nameFromAddress(url), name) << url;
}

TEST(ExtendedM3u, ReadsBackAsTheSameStations) {
  const Stations stations = {{"Radio, \"One\"", "http://a/1?x=1&y=2"},
                             {"", "https://a/2"},
                             {"\xD0\xA0\xD0\xB0\xD0\xB4\xD0\xB8\xD0\xBE #2", "http://a/3"}};
  const std::string m3u = extendedM3u(stations);
  EXPECT_EQ(stationsInFile(m3u, "export.m3u", "").stations, stations);
  EXPECT_EQ(extendedM3u(Stations{{"Two\r\nlines", "http://a/1"}}),
            "#EXTM3U\n#EXTINF:-1,Two  lines\nhttp://a/1\n");
}

}  // namespace
}  // namespace radiolist::formats

namespace radiolist::formats {
namespace {

// Every format tells what it names but leaves out, by why; the stations it takes are the plain
// ones, and names lose the characters that show nothing.
TEST(StationsInFile, CountsWhatItLeavesOutByWhy) {
  const std::string longUrl = "http://a/" + std::string(17 * 1024, 'l');
  struct Case {
    const char* fileName;
    std::string bytes;
    LeftOut leftOut;
  };
  const Case cases[] = {
      {"a.m3u",
       "#EXTM3U\n#EXTINF:-1,\xE2\x80\xA8\nhttp://a/ok\nftp://a/x\nrelative.mp3\nhttp://a/"
       "\xE2\x80\x8Bzw\n" +
           longUrl + "\n",
       {.notWeb = 2, .notPlain = 1, .tooLong = 1}},
      {"a.pls",
       "[playlist]\nFile1=http://a/ok\nTitle1=\xE2\x80\xA8\nFile2=http://a/\xC2\x85nel\nFile3=mms:/"
       "/a/x\n",
       {.notWeb = 1, .notPlain = 1}},
      {"a.xspf",
       "<playlist><trackList><track><title>\xE2\x80\xA8</title><location>http://a/ok</location></"
       "track>"
       "<track><location>http://\xE2\x80\xAEmoc.a/</location><location>ftp://a/</location></track>"
       "</trackList></playlist>",
       {.notWeb = 1}},  // an item is one station: its last refusal says why
  };
  for (const Case& c : cases) {
    const StationsFound found = stationsInFile(c.bytes, c.fileName, "");
    EXPECT_EQ(found.stations, (std::vector<Station>{{"_", "http://a/ok"}})) << c.fileName;
    EXPECT_EQ(found.leftOut, c.leftOut) << c.fileName;
  }
  std::string many;
  for (int i = 0; i < 10'003; ++i) many += "http://a/" + std::to_string(i) + "\n";
  EXPECT_EQ(stationsInText(many).leftOut, LeftOut{.overCap = 3});
}

}  // namespace
}  // namespace radiolist::formats
