#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "playback/formats/page_scan.h"

namespace radiolist::formats {
namespace {

using Urls = std::vector<std::string>;

struct PageCase {
  const char* what;
  std::string page;
  const char* pageUrl;
  bool allowLocal;
  Urls expected;
};

TEST(PageCandidates, PagesModelledOnStationSites) {
  const std::vector<PageCase> cases = {
      {"a bare <audio>, relative, with a video beside it",
       "<!DOCTYPE html><html><body><video><source src=intro.mp4></video>"
       "<AUDIO controls SRC='live.mp3?x=1&amp;y=2'></AUDIO></body></html>",
       "https://radio.example/player/",
       false,
       {"https://radio.example/player/live.mp3?x=1&y=2"}},
      {"a player configured in a script, JSON-escaped, beside analytics and images",
       "<html><head><script src=\"https://www.googletagmanager.com/gtag/js\"></script><script>\n"
       "if (a<b) { x = \"</div>\"; }\n"
       "new Player({\"logo\":\"https:\\/\\/radio.example\\/logo.png\",\n"
       " \"stream\":\"https:\\/\\/ice2.streamhost.example\\/radio-128.aac\","
       " \"track\":\"https://www.google-analytics.com/collect\"});\n"
       "var backup = 'http://radio.example:8000/;';</script></head><body></body></html>",
       "https://radio.example/",
       false,
       {"https://ice2.streamhost.example/radio-128.aac", "http://radio.example:8000/;"}},
      {"a \"Listen\" link to a .pls among links to pages",
       "<html><body><a href=\"/live\">On air</a><a href=\"/about.html\">About</a>"
       "<a href=\"tunein/listen.pls\">Listen</a><a href=\"https://stream.example/\">x</a></body>",
       "http://radio.example/index.php",
       false,
       {"http://radio.example/tunein/listen.pls"}},
      {"several streams and an advertisement: live ones by element, link, script, then the "
       "plain file; base honoured",
       "<html><head><base href=\"https://cdn.radio.example/site/\"><base href=\"/ignored/\">"
       "<script>var ads = 'https://ads.adnet.example/preroll.mp3';"
       " var hls = 'https://hls.radio.example/x/master.m3u8';</script></head><body>"
       "<a href=\"high.m3u\">High</a>"
       "<div data-stream=\"https://stream.radio.example/low\" "
       "data-config='{\"alt\":\"http://radio.example:8010/mobile\"}'></div>"
       "<audio><source src=\"https://pubads.g.doubleclick.net/a.mp3\">"
       "<source src=\"main.ogg\"></audio><a href=\"high.m3u\">again</a></body></html>",
       "https://radio.example/",
       false,
       {"https://cdn.radio.example/site/high.m3u", "https://stream.radio.example/low",
        "https://hls.radio.example/x/master.m3u8", "http://radio.example:8010/mobile",
        "https://cdn.radio.example/site/main.ogg"}},
      {"a private-address candidate on a public page is left out",
       "<audio src=\"http://192.168.1.1:8000/live\"></audio>"
       "<audio src=\"http://[::1]/a.mp3\"></audio><audio src=\"http://2130706433/a.mp3\"></audio>"
       "<audio src=\"http://printer.local/a.mp3\"></audio><audio src=\"/s.mp3\"></audio>",
       "https://radio.example/",
       false,
       {"https://radio.example/s.mp3"}},
      {"... and kept on a page that is itself on the local network",
       "<audio src=\"http://192.168.1.1:8000/live\"></audio>",
       "http://10.0.0.2/",
       true,
       {"http://192.168.1.1:8000/live"}},
      {"no stream at all",
       "<html><body><a href=\"/live\">x</a><img src=a.mp3.png></body></html>",
       "https://radio.example/",
       false,
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(pageCandidates(c.page, c.pageUrl, c.allowLocal), c.expected);
  }
}

TEST(PageCandidates, SignsOfALiveStreamComeBeforePlainAudioFiles) {
  const std::vector<PageCase> cases = {
      {"an advert linked before a link whose text says listen live, in Russian",
       "<a href=\"/promo/spot.mp3\">Sponsor</a><a href=\"/128.mp3\"><span>Слушать</span> "
       "прямой ЭФИР</a>",
       "https://radio.example/",
       false,
       {"https://radio.example/128.mp3", "https://radio.example/promo/spot.mp3"}},
      {"a class, a title and an aria-label say live; an <audio> of a jingle does not",
       "<audio src=\"/jingle.mp3\"></audio><a href=\"/a.mp3\">x</a>"
       "<a class=\"btn player-live\" href=\"/b.mp3\">x</a><a title=\"Radio\" href=\"/c.mp3\">"
       "</a><a aria-label=\"Listen\" href=\"/d.mp3\">x</a>",
       "https://radio.example/",
       false,
       {"https://radio.example/b.mp3", "https://radio.example/c.mp3", "https://radio.example/d.mp3",
        "https://radio.example/jingle.mp3", "https://radio.example/a.mp3"}},
      {"a data-stream attribute and a script setting named for the stream; a mount; ;stream",
       "<div data-file=\"https://cdn.example/ad.mp3\" data-stream=\"https://cdn.example/x.mp3\">"
       "</div><script>var p = {preroll: 'https://cdn.example/pre.mp3', "
       "streamUrl: 'https://cdn.example/y.aac'};</script>"
       "<a href=\"https://cdn.example/z.mp3\">z</a><a href=\"http://s.example:9000/;stream\">"
       "x</a><a href=\"https://cdn.example/live/hi\">y</a>",
       "https://radio.example/",
       false,
       {"https://cdn.example/x.mp3", "http://s.example:9000/;stream", "https://cdn.example/live/hi",
        "https://cdn.example/y.aac", "https://cdn.example/ad.mp3", "https://cdn.example/z.mp3",
        "https://cdn.example/pre.mp3"}},
      {"a link's text counts only up to its end; the next link is judged by its own",
       "<a href=\"/a.mp3\">Archive</a> live shows below <a href=\"/b.mp3\">b</a>",
       "https://radio.example/",
       false,
       {"https://radio.example/a.mp3", "https://radio.example/b.mp3"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(pageCandidates(c.page, c.pageUrl, c.allowLocal), c.expected);
  }
}

TEST(PageCandidates, AreBoundedWhateverThePageHolds) {
  std::string page = "<script>";
  for (int i = 0; i < 5000; ++i) page += "'http://h" + std::to_string(i) + ".example:8000/s' ";
  page += "</script>";
  const auto urls = pageCandidates(page, "http://radio.example/", false);
  ASSERT_EQ(urls.size(), kMaxPageCandidates);
  EXPECT_EQ(urls.front(), "http://h0.example:8000/s");
}

TEST(LooksLikePage, HtmlByTypeOrByItsElementsNeverAudioOrPlaylists) {
  const struct {
    const char* type;
    std::string body;
    bool page;
  } cases[] = {{"text/html", "\xEF\xBB\xBF  <div>", true},
               {"", "<!DOCTYPE HTML><p>", true},
               {"audio/mpeg", "\n<html lang=en>", true},
               {"text/html", "ID3\x04", false},
               {"text/html", "#EXTM3U\nhttp://a/", false},
               {"application/xspf+xml", "<playlist version=\"1\">", false}};
  for (const auto& c : cases) EXPECT_EQ(looksLikePage(c.type, c.body), c.page) << c.body;
}

TEST(IsLocalHost, LoopbackPrivateLinkLocalInEveryFormAndNothingElse) {
  for (const char* host : {"localhost",   "LOCALHOST.",   "a.localhost",    "nas.local",
                           "127.0.0.1",   "127.1",        "0x7f.1",         "2130706433",
                           "10.1.2.3",    "172.16.0.1",   "172.31.255.255", "192.168.0.1",
                           "169.254.1.1", "100.64.0.1",   "0.0.0.0",        "::1",
                           "::",          "fe80::1%eth0", "fd00::1",        "::ffff:192.168.1.1",
                           "fec0::1",     "feff::1",      "255.255.255.255"})
    EXPECT_TRUE(isLocalHost(host)) << host;
  for (const char* host : {"radio.example", "8.8.8.8", "172.32.0.1", "192.169.0.1", "100.128.0.1",
                           "2001:db8::1", "::ffff:8.8.8.8", "", "localhost.example"})
    EXPECT_FALSE(isLocalHost(host)) << host;
  EXPECT_EQ(urlHost("http://user:pw@[fe80::1]:8000/x"), "fe80::1");
  EXPECT_EQ(urlHost("https://Radio.Example:443?q"), "Radio.Example");
}

}  // namespace
}  // namespace radiolist::formats
