// The real library plays playlists served on loopback whose entries point at the Icecast mounts
// of the test servers: every format, under its own content type and under wrong ones, with dead
// entries before the good one, and with the final stream's name and title in the tags.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "playback/bass.h"
#include "playback/engine/shutdown.h"
#include "support/child_process.h"
#include "support/listening_test.h"
#include "support/signal_analysis.h"

namespace {

using namespace std::chrono_literals;
constexpr const char* kStationName = "icy-name:Test Radio 440";
constexpr const char* kStationTitle = "StreamTitle='Test Artist - Tone 440';";

// --- Playlist bodies ---------------------------------------------------------------------------

std::string m3u(const std::vector<std::string>& urls) {
  std::string body = "#EXTM3U\r\n";
  for (const auto& u : urls) body += "#EXTINF:-1,Test Radio\r\n" + u + "\r\n";
  return body;
}

std::string pls(const std::vector<std::string>& urls) {
  std::string body = "[playlist]\nNumberOfEntries=" + std::to_string(urls.size()) + "\n";
  for (std::size_t i = 0; i < urls.size(); ++i) {
    const std::string n = std::to_string(i + 1);
    body += "File" + n + "=" + urls[i] + "\nTitle" + n + "=Test Radio\nLength" + n + "=-1\n";
  }
  return body + "Version=2\n";
}

std::string xspf(const std::vector<std::string>& urls) {
  std::string body =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<playlist version=\"1\" "
      "xmlns=\"http://xspf.org/ns/0/\">\n<trackList>\n";
  for (const auto& u : urls)
    body += "<track><title>Test Radio</title><location>" + u + "</location></track>\n";
  return body + "</trackList>\n</playlist>\n";
}

std::string asx(const std::vector<std::string>& urls) {
  std::string body = "<ASX VERSION=\"3.0\">\n<TITLE>Test Radio</TITLE>\n";
  for (const auto& u : urls) body += "<ENTRY><REF HREF=\"" + u + "\"/></ENTRY>\n";
  return body + "</ASX>\n";
}

struct Format {
  const char* extension;
  std::string (*body)(const std::vector<std::string>&);
};
constexpr Format kFormats[] = {{"m3u", m3u}, {"pls", pls}, {"xspf", xspf}, {"asx", asx}};

// --- A server of tools/ in a child process, on the port it reports ------------------------------

class ToolServer {
 public:
  ToolServer(const char* script, const std::vector<std::string>& options) {
    radiolist::test::ChildProcess::Options o;
    o.argv = {"python3", script, "--port", "0"};
    o.argv.insert(o.argv.end(), options.begin(), options.end());
    o.captureStdout = true;
    child_ = std::make_unique<radiolist::test::ChildProcess>(o);
    std::string line;
    pollfd pfd{child_->stdoutFd(), POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      if (poll(&pfd, 1, 100) <= 0) continue;
      char buf[64];
      const ssize_t n = ::read(child_->stdoutFd(), buf, sizeof buf);
      if (n <= 0) break;
      line.append(buf, static_cast<std::size_t>(n));
    }
    if (std::sscanf(line.c_str(), "PORT %d", &port_) != 1) port_ = 0;
  }
  [[nodiscard]] int port() const { return port_; }
  [[nodiscard]] std::string url() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/";
  }
  [[nodiscard]] std::string url(const std::string& path) const { return url() + path; }

 private:
  std::unique_ptr<radiolist::test::ChildProcess> child_;
  int port_ = 0;
};

// tools/static-server.py serving `root`.
class StaticServer : public ToolServer {
 public:
  StaticServer(const std::string& root, std::vector<std::string> options)
      : ToolServer(RL_STATIC_SERVER_PY, withRoot(root, std::move(options))) {}

 private:
  static std::vector<std::string> withRoot(const std::string& root, std::vector<std::string> o) {
    o.insert(o.begin(), {"--root", root});
    return o;
  }
};

// A loopback port nobody listens on: connections to it are refused at once.
int refusedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  close(fd);
  return port;
}

// --- The fixture -------------------------------------------------------------------------------

class PlaylistServerTest : public radiolist::test::ListeningTest {
 protected:
  void SetUp() override {
    ListeningTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    char dir[] = "/tmp/rl-playlists-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    root_ = dir;
  }
  void TearDown() override {
    ListeningTest::TearDown();
    if (!root_.empty()) std::filesystem::remove_all(root_);
  }

  void write(const std::string& name, const std::string& body) {
    std::ofstream(root_ + "/" + name, std::ios::binary) << body;
  }

  // What the window does on every start; the handle of the general creation.
  static HSTREAM startLikeTheWindow(const std::string& url, HSTREAM* aac = nullptr) {
    const auto channel = radiolist::test::startLikeTheWindow(url);
    if (aac != nullptr) *aac = channel.aac;
    return channel.general;
  }

  // Silence first, so the tone of the case before cannot pass for this one's.
  void awaitSilence() {
    BASS_Free();
    const auto quiet = recorder().waitFor(
        200ms, 5s, [](std::span<const float> s) { return radiolist::test::rms(s) < 1e-3; });
    ASSERT_TRUE(quiet.has_value()) << "the previous stream did not fall silent";
  }

  // The station name of the stream that plays, as the window reads it: ICY tags, else HTTP.
  static std::vector<std::string> headerLines(HSTREAM h) {
    const char* icy = BASS_ChannelGetTags(h, BASS_TAG_ICY);
    return radiolist::test::tagLines(icy != nullptr ? icy : BASS_ChannelGetTags(h, BASS_TAG_HTTP));
  }

  // Plays `url` and checks that the 440 Hz mount is what is heard and what the tags describe.
  void expectTheToneMount(const std::string& url) {
    SCOPED_TRACE(url);
    awaitSilence();
    const HSTREAM h = startLikeTheWindow(url);
    ASSERT_NE(h, 0u);
    ASSERT_TRUE(hears(440)) << "no 440 Hz";
    EXPECT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_PLAYING);
    const auto head = headerLines(h);
    EXPECT_NE(std::find(head.begin(), head.end(), kStationName), head.end())
        << testing::PrintToString(head);
    EXPECT_TRUE(radiolist::test::metaWithin(h, 5s).starts_with(kStationTitle));
  }

  std::string root_;
};

TEST_F(PlaylistServerTest, EachFormatPlaysUnderItsOwnTypeAWrongOneAndNone) {
  const std::vector<std::string> mount = {servers().mp3Url()};
  std::vector<std::string> options;
  for (const Format& f : kFormats) {
    const std::string body = f.body(mount);
    write(std::string("own.") + f.extension, body);  // typed by its extension
    for (const char* tag : {"mpeg", "text", "none"}) {
      const std::string name = std::string(tag) + "." + f.extension;
      write(name, body);
      const std::string type = tag == std::string("mpeg")   ? "audio/mpeg"
                               : tag == std::string("text") ? "text/plain"
                                                            : "";
      options.insert(options.end(), {"--type", name + "=" + type});
    }
  }
  const StaticServer web(root_, options);
  ASSERT_NE(web.port(), 0) << "static-server.py did not start";
  for (const Format& f : kFormats)
    for (const char* tag : {"own", "mpeg", "text", "none"})
      expectTheToneMount(web.url(std::string(tag) + "." + f.extension));
}

TEST_F(PlaylistServerTest, DeadEntriesBeforeTheGoodOneAreSkipped) {
  const std::string refused = "http://127.0.0.1:" + std::to_string(refusedPort()) + "/a.mp3";
  const StaticServer web(root_, {});
  ASSERT_NE(web.port(), 0);
  const std::string missing = web.url("missing.mp3");
  const std::vector<std::string> entries = {refused, missing, servers().mp3Url()};
  for (const Format& f : kFormats) write(std::string("dead.") + f.extension, f.body(entries));
  for (const Format& f : kFormats) expectTheToneMount(web.url(std::string("dead.") + f.extension));
}

TEST_F(PlaylistServerTest, RelativeEntriesResolveAgainstThePlaylistAddress) {
  // "live" next to the playlist redirects to the mount; a playlist reached through a redirect
  // resolves against where it was found.
  const std::string mount = servers().mp3Url();
  std::filesystem::create_directories(root_ + "/lists");
  write("lists/relative.m3u", "#EXTM3U\n#EXTINF:-1,Relative\nlive\n");
  const StaticServer web(root_, {"--redirect", "/lists/live=" + mount, "--redirect",
                                 "/moved.m3u=/lists/relative.m3u"});
  ASSERT_NE(web.port(), 0);
  expectTheToneMount(web.url("lists/relative.m3u"));
  expectTheToneMount(web.url("moved.m3u"));
}

TEST_F(PlaylistServerTest, APlaylistOfPlaylistsIsFollowed) {
  const StaticServer web(root_, {});
  ASSERT_NE(web.port(), 0);
  write("inner.pls", pls({servers().mp3Url()}));
  write("outer.asx", "<asx version=\"3.0\"><entryref href=\"inner.pls\"/></asx>");
  expectTheToneMount(web.url("outer.asx"));
}

TEST_F(PlaylistServerTest, AnAacMountBehindAPlaylistPlaysThroughTheAacCreation) {
  const StaticServer web(root_, {"--type", "aac.pls=text/plain"});
  ASSERT_NE(web.port(), 0);
  write("aac.pls", pls({servers().aacUrl()}));
  awaitSilence();
  HSTREAM aac = 0;
  const HSTREAM general = startLikeTheWindow(web.url("aac.pls"), &aac);
  ASSERT_TRUE(hears(880)) << "no 880 Hz";
  EXPECT_EQ(BASS_ChannelIsActive(aac), BASS_ACTIVE_PLAYING);
  EXPECT_NE(BASS_ChannelIsActive(general), BASS_ACTIVE_PLAYING);
  const auto head = headerLines(aac);
  EXPECT_NE(std::find(head.begin(), head.end(), "icy-name:Test Radio 880"), head.end())
      << testing::PrintToString(head);
}

TEST_F(PlaylistServerTest, AnIcyEntryInALegacyCodePageGetsItsNameAndTitleInUtf8) {
  // An "ICY 200 OK" server whose operator's machine writes Windows-1251.
  const ToolServer radio(RL_TESTSTREAM_PY,
                         {"--status", "icy", "--file", RL_FORMATS_MEDIA_DIR "/loop.mp3", "--rate",
                          "16000", "--metaint", "16000", "--encoding", "cp1251", "--header",
                          "icy-name: Радио Тест", "--title", "Кино - Группа крови"});
  ASSERT_NE(radio.port(), 0) << "teststream.py did not start";
  const StaticServer web(root_, {"--type", "radio.pls=text/plain"});
  ASSERT_NE(web.port(), 0);
  write("radio.pls", pls({radio.url() + "stream"}));
  awaitSilence();
  const HSTREAM h = startLikeTheWindow(web.url("radio.pls"));
  ASSERT_TRUE(hears(440)) << "no 440 Hz";
  const char* icy = BASS_ChannelGetTags(h, BASS_TAG_ICY);
  ASSERT_NE(icy, nullptr);
  const auto head = radiolist::test::tagLines(icy);
  EXPECT_NE(std::find(head.begin(), head.end(), "icy-name: Радио Тест"), head.end())
      << testing::PrintToString(head);
  EXPECT_TRUE(radiolist::test::metaWithin(h, 5s).starts_with("StreamTitle='Кино - Группа крови';"));
}

TEST_F(PlaylistServerTest, APlaylistWithoutAPlayableEntryStaysSilent) {
  const StaticServer web(root_, {"--type", "empty.m3u=audio/x-mpegurl"});
  ASSERT_NE(web.port(), 0);
  write("dead.pls", pls({web.url("missing1.mp3"), web.url("missing2.mp3")}));
  write("empty.m3u", "#EXTM3U\n# nothing here\n");
  write("dead.html",
        "<!DOCTYPE html><html><body><audio src=\"missing3.mp3\"></audio></body></html>");
  // Told gone for good only where the address itself leads nowhere: a playlist whose every entry
  // is missing, not an empty one, nor a page whose stream is missing (the page answered).
  for (const auto& [name, gone] : {std::pair{"dead.pls", 1}, {"empty.m3u", 0}, {"dead.html", 0}}) {
    SCOPED_TRACE(name);
    awaitSilence();
    radiolist::audio::takeEvents();
    const HSTREAM h = startLikeTheWindow(web.url(name));
    EXPECT_LT(levelOver(3s), 1e-3);
    EXPECT_NE(BASS_ChannelIsActive(h), BASS_ACTIVE_PLAYING);
    EXPECT_EQ(BASS_ChannelGetTags(h, BASS_TAG_META), nullptr);
    const auto events = radiolist::audio::takeEvents();
    EXPECT_EQ(std::count_if(events.begin(), events.end(),
                            [&](const radiolist::PlaybackEvent& e) {
                              return e.kind == radiolist::PlaybackEvent::Kind::Gone &&
                                     e.handle == h && e.gone == radiolist::StreamGone::NotFound;
                            }),
              gone);
  }
}

TEST_F(PlaylistServerTest, AStationPagePlaysItsAudioElementAndTheNextStartTriesItFirst) {
  const std::string pages = root_ + "/state/radiolist/pages.tsv";
  radiolist::audio::setPagesFile(pages);
  const std::string requests = root_ + "/requests.log";
  const StaticServer web(root_, {"--log", requests});
  ASSERT_NE(web.port(), 0);
  write("station.html",
        "<!DOCTYPE html><html><head><title>Test Radio</title></head><body>"
        "<a href=\"/about.html\">About</a><img src=\"logo.png\"><audio src=\"" +
            servers().mp3Url() + "\" controls></audio></body></html>");
  const std::string page = web.url("station.html");
  expectTheToneMount(page);
  // Remembered once it has played live for a while (an advert would be over by then).
  std::string remembered;
  for (const auto deadline = std::chrono::steady_clock::now() + 25s;
       remembered.empty() && std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(200ms);
    std::stringstream file;
    file << std::ifstream(pages).rdbuf();
    remembered = file.str();
  }
  EXPECT_EQ(remembered, page + "\t" + servers().mp3Url() + "\n");

  awaitSilence();
  std::this_thread::sleep_for(6s);  // the freed source, kept warm for 5 s, is gone
  expectTheToneMount(page);
  std::stringstream log;
  log << std::ifstream(requests).rdbuf();
  std::size_t pageRequests = 0;
  for (auto at = log.str().find("GET /station.html"); at != std::string::npos;
       at = log.str().find("GET /station.html", at + 1))
    ++pageRequests;
  // The address is asked again (it may serve its stream itself by now); its page's stream is
  // then the first one tried.
  EXPECT_EQ(pageRequests, 2u) << log.str();
  radiolist::audio::setPagesFile({});
}

}  // namespace
