// Bodies a broken or hostile server may send where a playlist should be. Every result must stay
// bounded, and every entry must be an http(s) address.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "playback/formats/playlist.h"

namespace radiolist::formats {
namespace {

using namespace std::string_literals;
using Entries = std::vector<std::string>;
constexpr std::string_view kBase = "http://h/list";

void expectAllWebUrls(const Entries& entries) {
  for (const std::string& e : entries) {
    EXPECT_TRUE(e.starts_with("http://") || e.starts_with("https://")) << e.substr(0, 80);
    EXPECT_LE(e.size(), kMaxEntryBytes);
  }
}

TEST(HostileBodies, HugeLinesAreLeftOutAndTheRestKept) {
  const std::string huge = "http://h/" + std::string(kMaxPlaylistBytes, 'a');
  EXPECT_EQ(playlistEntries(huge + "\nhttp://ok/1\n", kBase), (Entries{"http://ok/1"}));
  EXPECT_EQ(playlistEntries("[playlist]\nFile1=" + huge + "\nFile2=http://ok/2\n", kBase),
            (Entries{"http://ok/2"}));
  EXPECT_EQ(
      playlistEntries("<asx><ref href=\"" + huge + "\"/><ref href=\"http://ok/3\"/></asx>", kBase),
      (Entries{"http://ok/3"}));
  EXPECT_EQ(playlistEntries("<playlist><track><location>" + huge +
                                "</location></track><track><location>"
                                "http://ok/4</location></track></playlist>",
                            kBase),
            (Entries{"http://ok/4"}));
  // One line of 256 KiB without any break, and nothing else.
  EXPECT_TRUE(playlistEntries(std::string(kMaxPlaylistBytes, 'x'), kBase).empty());
  EXPECT_EQ(classifyBody("", std::string(kMaxPlaylistBytes, '#')), BodyKind::Media);
}

TEST(HostileBodies, UnterminatedMarkupKeepsWhatWasComplete) {
  const std::string xspf =
      "<playlist><trackList><track><location>http://a/1</location></track><track><location>http://"
      "a/2";
  EXPECT_EQ(playlistEntries(xspf, kBase), (Entries{"http://a/1"}));
  EXPECT_EQ(playlistEntries("<asx><ref href=\"http://a/1\"/><ref href=\"http://a/2", kBase),
            (Entries{"http://a/1"}));
  EXPECT_EQ(
      playlistEntries("<asx><ref href=\"http://a/1\"/><!-- <ref href=\"http://a/2\"/>", kBase),
      (Entries{"http://a/1"}));
  EXPECT_EQ(playlistEntries("<playlist><track><location><![CDATA[http://a/1", kBase), Entries{});
  EXPECT_EQ(playlistEntries("<asx><ref href='http://a/1\"/></asx>", kBase), Entries{});
  EXPECT_EQ(playlistEntries("<asx <<<< ref href=\"http://a/1\"/>>>", kBase), Entries{});
  EXPECT_EQ(playlistEntries("<", kBase), Entries{});
  EXPECT_EQ(playlistEntries("<asx", kBase), Entries{});
  EXPECT_EQ(playlistEntries("  <asx version=\"3\"", kBase), Entries{});
  EXPECT_EQ(playlistEntries("<playlist><track><location>", kBase), Entries{});
}

TEST(HostileBodies, TenThousandEntriesComeOutInOrder) {
  for (const std::string kind : {"m3u", "pls", "xspf", "asx"}) {
    std::string body = kind == "pls"    ? "[playlist]\n"
                       : kind == "xspf" ? "<playlist><trackList>"
                       : kind == "asx"  ? "<asx>"
                                        : "";
    for (int i = 10'000; i >= 1; --i) {
      const int n = kind == "pls" ? i : 10'001 - i;  // PLS lines in reverse: the numbers decide
      const std::string url = "http://h/" + std::to_string(n);
      if (kind == "m3u") body += url + "\n";
      if (kind == "pls") body += "File" + std::to_string(n) + "=" + url + "\n";
      if (kind == "xspf") body += "<track><location>" + url + "</location></track>";
      if (kind == "asx") body += "<entry><ref href=\"" + url + "\"/></entry>";
    }
    const Entries entries = playlistEntries(body, kBase);
    ASSERT_EQ(entries.size(), 10'000u) << kind;
    for (int i = 0; i < 10'000; ++i)
      ASSERT_EQ(entries[static_cast<std::size_t>(i)], "http://h/" + std::to_string(i + 1)) << kind;
  }
}

TEST(HostileBodies, EntriesBeyondTheLimitAreLeftOut) {
  std::string body;
  for (std::size_t i = 0; i < kMaxEntries + 100; ++i) body += "http://h/\n";
  EXPECT_EQ(playlistEntries(body, kBase).size(), kMaxEntries);
  EXPECT_EQ(
      playlistEntries("[playlist]\n" + body.replace(0, 0, "File1=http://first/\n"), kBase).size(),
      1u);
}

TEST(HostileBodies, NulBytesNeitherCutNorJoinEntries) {
  EXPECT_EQ(playlistEntries("http://a/1\n\0\nhttp://a/2\nhttp://a/\0x\n"s, kBase),
            (Entries{"http://a/1", "http://a/2"}));
  EXPECT_EQ(playlistEntries("[playlist]\nFile1=http://a/1\0\nFile2=http://a/2\n"s, kBase),
            (Entries{"http://a/2"}));
  EXPECT_EQ(
      playlistEntries("<asx><ref href=\"http://a/\0\"/><ref href=\"http://a/2\"/></asx>"s, kBase),
      (Entries{"http://a/2"}));
  EXPECT_EQ(classifyBody("", std::string(1024, '\0')), BodyKind::Media);
  // Audio is no list of relative entries, whatever the type said.
  std::string noise;
  for (int i = 0; i < 4096; ++i) noise.push_back(static_cast<char>((i * 151 + 7) % 256));
  EXPECT_EQ(playlistEntries(noise, kBase), Entries{});
}

TEST(HostileBodies, EntitiesThatNameNothingStayAsWritten) {
  EXPECT_EQ(
      playlistEntries(
          "<asx><ref href=\"http://a/?x=&#0;&#xD800;&#99999999;&nope;&#x110000;&\"/></asx>", kBase),
      (Entries{"http://a/?x=&#0;&#xD800;&#99999999;&nope;&#x110000;&"}));
  EXPECT_EQ(
      playlistEntries("<asx><ref href=\"http://a/&#x1F600;&lt;&gt;&quot;&apos;\"/></asx>", kBase),
      (Entries{"http://a/\xF0\x9F\x98\x80<>\"'"}));
}

TEST(HostileBodies, RandomBytesGiveOnlyWebAddresses) {
  std::mt19937 rng(1234);
  const std::vector<std::string> pieces = {
      "<asx>", "<ref href=\"", "\"/>",      "[playlist]\n", "File1=",      "http://",
      "h/",    "\n",           "<track>",   "<location>",   "</location>", "<![CDATA[",
      "]]>",   "&amp;",        "#EXTM3U\n", "\r",           "'",           "\"",
      "=",     "../",          "\xFF\xFE",  "\0"s};
  for (int round = 0; round < 2000; ++round) {
    std::string body;
    const int n = static_cast<int>(rng() % 40);
    for (int i = 0; i < n; ++i) {
      if (rng() % 3 == 0)
        body.push_back(static_cast<char>(rng() % 256));
      else
        body += pieces[rng() % pieces.size()];
    }
    (void)classifyBody("", body);
    expectAllWebUrls(playlistEntries(body, kBase));
  }
}

}  // namespace
}  // namespace radiolist::formats
