#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "playback/formats/playlist.h"

namespace radiolist::formats {
namespace {

using Entries = std::vector<std::string>;
constexpr std::string_view kBase = "http://radio.example.com:8000/lists/station.m3u?k=1";

TEST(M3uEntries, PlainAndExtendedWithAnyLineEnds) {
  EXPECT_EQ(playlistEntries("http://a/1\nhttp://a/2\n", kBase),
            (Entries{"http://a/1", "http://a/2"}));
  EXPECT_EQ(
      playlistEntries(
          "#EXTM3U\r\n#EXTINF:-1,One\r\nhttp://a/1\r\n\r\n#EXTINF:-1,Two\r\nhttps://a/2", kBase),
      (Entries{"http://a/1", "https://a/2"}));
  EXPECT_EQ(playlistEntries("http://a/1\rhttp://a/2\r", kBase),
            (Entries{"http://a/1", "http://a/2"}));
  EXPECT_EQ(playlistEntries("\xEF\xBB\xBFhttp://a/1\n", kBase), (Entries{"http://a/1"}));
  EXPECT_EQ(playlistEntries("  \thttp://a/1  \n#http://commented/out\n", kBase),
            (Entries{"http://a/1"}));
}

TEST(M3uEntries, RelativeEntriesResolveAgainstThePlaylistAndOtherSchemesAreLeftOut) {
  EXPECT_EQ(
      playlistEntries("live.mp3\n../up.aac\n/root.ogg\n//other.host/x\n?q=2\n", kBase),
      (Entries{"http://radio.example.com:8000/lists/live.mp3",
               "http://radio.example.com:8000/up.aac", "http://radio.example.com:8000/root.ogg",
               "http://other.host/x", "http://radio.example.com:8000/lists/station.m3u?q=2"}));
  EXPECT_EQ(
      playlistEntries("mms://a/1\nrtsp://a/2\nfile:///music/a.mp3\nC:\\Music\\a.mp3\nHTTP://A/3\n",
                      kBase),
      (Entries{"http://A/3"}));
  // Without an http(s) base only absolute entries survive.
  EXPECT_EQ(playlistEntries("live.mp3\nhttp://a/1\n", ""), (Entries{"http://a/1"}));
}

TEST(PlsEntries, InNumberOrderWithKeysInAnyCase) {
  const std::string pls =
      "[playlist]\r\nNumberOfEntries=3\r\nFile3=http://a/3\r\nTitle3=Three\r\nfile1 = "
      "http://a/1\r\n"
      "FILE2=relative.mp3\r\nLength1=-1\r\nVersion=2\r\n";
  EXPECT_EQ(playlistEntries(pls, "http://h/dir/list.pls"),
            (Entries{"http://a/1", "http://h/dir/relative.mp3", "http://a/3"}));
  // Numbers need not be consecutive; the same number twice keeps the order of the lines.
  EXPECT_EQ(playlistEntries(
                "[playlist]\nFile10=http://a/10\nFile2=http://a/2a\nFile2=http://a/2b\n", kBase),
            (Entries{"http://a/2a", "http://a/2b", "http://a/10"}));
  // Keys that are no entries, and a section header missing.
  EXPECT_EQ(playlistEntries("File1=http://a/1\nFile=http://x/\nFilex=http://y/\nTitle1=http://z/\n",
                            kBase),
            (Entries{"http://a/1"}));
}

TEST(ReferenceEntries, WindowsMediaReferenceFiles) {
  EXPECT_EQ(
      playlistEntries("[Reference]\r\nRef2=http://a/2?MSWMExt=.asf\r\nRef1=http://a/1\r\n", kBase),
      (Entries{"http://a/1", "http://a/2?MSWMExt=.asf"}));
}

TEST(XspfEntries, EveryTrackLocationWithEntitiesAndCdata) {
  const std::string xspf = R"(<?xml version="1.0" encoding="UTF-8"?>
<playlist version="1" xmlns="http://xspf.org/ns/0/">
  <title>Stations</title>
  <location>http://example.com/this-list.xspf</location>
  <trackList>
    <track><title>One</title><location>http://a/1?x=1&amp;y=2</location></track>
    <!-- <track><location>http://commented/out</location></track> -->
    <track>
      <location><![CDATA[http://a/2?x=1&y=<2>]]></location>
      <location> relative&#47;three.ogg </location>
    </track>
    <track><location>ftp://a/4</location><location/></track>
    <track><location>http://a/&#x35;&#53;</location></track>
  </trackList>
</playlist>)";
  EXPECT_EQ(playlistEntries(xspf, "http://h/lists/a.xspf"),
            (Entries{"http://a/1?x=1&y=2", "http://a/2?x=1&y=<2>",
                     "http://h/lists/relative/three.ogg", "http://a/55"}));
}

TEST(XspfEntries, NamespacePrefixesAndUpperCaseNames) {
  EXPECT_EQ(playlistEntries(
                "<x:playlist><x:trackList><x:track><x:location>http://a/1</x:location></x:track>"
                "<TRACK><LOCATION>http://a/2</LOCATION></TRACK></x:trackList></x:playlist>",
                kBase),
            (Entries{"http://a/1", "http://a/2"}));
}

TEST(AsxEntries, RefsAndEntryRefsInAnyCaseAndQuoting) {
  const std::string asx = R"(<ASX version="3.0">
  <TITLE>Radio</TITLE>
  <MoreInfo href="http://not/an/entry" />
  <Entry><Ref href="http://a/1?a=1&amp;b=2"/><REF HREF='http://a/2' /></Entry>
  <entry><ref href = "mms://a/3" /><ref href=http://a/4 /></entry>
  <!-- <ref href="http://commented/out"/> -->
  <EntryRef href="more.asx" />
  <Entry><Banner href="http://not/either"/><ref href="http://a/5?x=1&y=2"/></Entry>
</ASX>)";
  EXPECT_EQ(playlistEntries(asx, "http://h/dir/list.asx"),
            (Entries{"http://a/1?a=1&b=2", "http://a/2", "http://a/4", "http://h/dir/more.asx",
                     "http://a/5?x=1&y=2"}));
}

TEST(AsxEntries, BaseElementMovesRelativeEntries) {
  EXPECT_EQ(
      playlistEntries(
          "<asx><base href=\"http://cdn/x/\"/><entry><ref href=\"a.mp3\"/></entry></asx>", kBase),
      (Entries{"http://cdn/x/a.mp3"}));
}

TEST(XspfAndAsxEntries, RelativeLocationsFollowEachFormatsBase) {
  EXPECT_EQ(playlistEntries("<playlist xml:base='http://cdn/a/'><trackList xml:base='b/'><track>"
                            "<location>c.mp3</location><location>/d.mp3</location></track>"
                            "</trackList></playlist>",
                            kBase),
            (Entries{"http://cdn/a/b/c.mp3", "http://cdn/d.mp3"}));
  // An entry's own base holds for it alone; the player adds the missing '/'.
  EXPECT_EQ(playlistEntries("<asx><entry><base href='http://e/x'/><ref href='1'/></entry>"
                            "<entry><ref href='2'/></entry></asx>",
                            "http://h/l.asx"),
            (Entries{"http://e/x/1", "http://h/2"}));
}

TEST(AsxEntries, QuotesInsideTheOtherQuotes) {
  EXPECT_EQ(
      playlistEntries(
          R"(<asx><ref href='http://a/"1"' /><ref title="it's" href="http://a/2" /></asx>)", kBase),
      (Entries{"http://a/\"1\"", "http://a/2"}));
}

TEST(ResolveUrl, FollowsTheRulesBrowsersUse) {
  const std::string base = "http://h:8000/a/b/c.pls?q=1#frag";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"x.mp3", "http://h:8000/a/b/x.mp3"},
      {"./x.mp3", "http://h:8000/a/b/x.mp3"},
      {"../x.mp3", "http://h:8000/a/x.mp3"},
      {"../../../../x.mp3", "http://h:8000/x.mp3"},
      {"/x/./y/../z", "http://h:8000/x/z"},
      {"d/", "http://h:8000/a/b/d/"},
      {"..", "http://h:8000/a/"},
      {"?r=2", "http://h:8000/a/b/c.pls?r=2"},
      {"#g", "http://h:8000/a/b/c.pls?q=1#g"},
      {"//o:9/p", "http://o:9/p"},
      {"HTTPS://H/P", "https://H/P"},
      {"my stream.mp3", "http://h:8000/a/b/my%20stream.mp3"},
      {" http://h/x \r", "http://h/x"},
  };
  for (const auto& [ref, expected] : cases) EXPECT_EQ(resolveUrl(base, ref), expected) << ref;
  EXPECT_EQ(resolveUrl("https://h", "x"), "https://h/x");
  EXPECT_EQ(resolveUrl("HTTP://H", "x"), "http://H/x");
}

TEST(ResolveUrl, RefusesWhatCannotBeAStream) {
  for (const char* ref :
       {"", "   ", "mailto:a@b", "ftp://h/x", "javascript:alert(1)", "http://", "http:///x",
        "http://:80/x", "http://h/a\x01", "http://h/\x7f", "http:x"}) {
    EXPECT_EQ(resolveUrl("http://h/", ref), std::nullopt) << ref;
  }
  EXPECT_EQ(resolveUrl("", "x.mp3"), std::nullopt);
  EXPECT_EQ(resolveUrl("file:///x/", "x.mp3"), std::nullopt);
  EXPECT_EQ(resolveUrl("not a url", "x.mp3"), std::nullopt);
  std::string longRef = "http://h/";
  longRef.resize(kMaxEntryBytes + 1, 'a');
  EXPECT_EQ(resolveUrl("", longRef), std::nullopt);
  longRef.resize(kMaxEntryBytes);
  EXPECT_EQ(resolveUrl("", longRef), longRef);
}

}  // namespace
}  // namespace radiolist::formats
