// A station's page on the internet, as a hostile one would write it, heard at the null sink. The
// test owns a network namespace: 192.0.2.0/24 is "the internet" (routed to the loopback, yet no
// interface's address), 198.51.100.7 and 2001:db8::10 are this machine's own public addresses,
// 192.168.77.1 a LAN address, and trap.example a name that resolves to 127.0.0.1 (its own
// /etc/hosts in a mount namespace). Every server listens on all of them; a request for a path
// with "trap" in it is a request that should never have been made.
#include <gtest/gtest.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../net/test_stream_server.h"
#include "playback/bass.h"
#include "playback/engine/shutdown.h"
#include "playback/net/address_reach.h"
#include "playback/net/network_watch.h"
#include "support/child_process.h"
#include "support/listening_test.h"

namespace {

using namespace std::chrono_literals;
using radiolist::test::TestStreamServer;

bool gOwnNetwork = false;  // set by main() before any thread starts
bool gOwnHosts = false;    // trap.example resolves to 127.0.0.1

constexpr const char* kInternet = "192.0.2.1";

bool run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

std::string slurp(const std::string& path) {
  std::stringstream s;
  s << std::ifstream(path).rdbuf();
  return s.str();
}

// tools/static-server.py on every address, serving `root`, logging each request to `log`.
class WebServer {
 public:
  WebServer(const std::string& root, const std::string& log, std::vector<std::string> options) {
    radiolist::test::ChildProcess::Options o;
    o.argv = {
        "python3", RL_STATIC_SERVER_PY, "--port", "0", "--bind", "::", "--root", root, "--log",
        log};
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

 private:
  std::unique_ptr<radiolist::test::ChildProcess> child_;
  int port_ = 0;
};

std::string at(const std::string& host, int port, const std::string& path) {
  const bool v6 = host.find(':') != std::string::npos;
  return "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + path;
}

class PageReachTest : public radiolist::test::ListeningTest {
 protected:
  void SetUp() override {
    if (!gOwnNetwork) GTEST_SKIP() << "no network namespace of its own (needs root and ip)";
    ListeningTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    char dir[] = "/tmp/rl-page-reach-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    root_ = dir;
    pages_ = root_ + "/state/pages.tsv";
    radiolist::audio::setPagesFile(pages_);
    const std::string media = RL_ENGINE_MEDIA_DIR;
    live_ = std::make_unique<TestStreamServer>(std::vector<std::string>{
        "--bind", "::", "--file", media + "/tone440.mp3", "--status", "icy", "--rate", "16000",
        "--drop-after", std::to_string(16000 * 24)});
    ASSERT_NE(live_->port(), 0);
    // A jingle without a length: its body simply ends.
    jingle_ = std::make_unique<TestStreamServer>(std::vector<std::string>{
        "--bind", "::", "--file", media + "/tone330_48k_mono.mp3", "--status", "http10", "--rate",
        "8000", "--drop-after",
        std::to_string(std::filesystem::file_size(media + "/tone330_48k_mono.mp3"))});
    ASSERT_NE(jingle_->port(), 0);
    std::filesystem::create_directories(root_ + "/www/promo");
    std::filesystem::copy_file(media + "/tone330_48k_mono.mp3", root_ + "/www/promo/spot.mp3");
    // A public address that redirects to this machine.
    web_ = std::make_unique<WebServer>(
        root_ + "/www", root_ + "/web.log",
        std::vector<std::string>{"--redirect",
                                 "/hop.mp3=" + at("127.0.0.1", live_->port(), "/trap-hop.mp3"),
                                 "--type", "portal=text/html"});
    ASSERT_NE(web_->port(), 0);
  }
  void TearDown() override {
    ListeningTest::TearDown();
    radiolist::audio::setPagesFile({});
    if (!root_.empty()) std::filesystem::remove_all(root_);
  }

  void write(const std::string& name, const std::string& body) {
    std::ofstream(root_ + "/www/" + name, std::ios::binary) << body;
  }
  [[nodiscard]] std::string web(const std::string& path,
                                const std::string& host = kInternet) const {
    return at(host, web_->port(), path);
  }
  [[nodiscard]] std::string live(const std::string& path) const {
    return at(kInternet, live_->port(), path);
  }
  [[nodiscard]] std::string webLog() const { return slurp(root_ + "/web.log"); }
  // What is remembered for `page` once that settles (a stream counts after playing a while).
  std::string rememberedFor(const std::string& page, std::chrono::seconds within) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    std::string line;
    do {
      std::istringstream lines(slurp(pages_));
      line.clear();
      for (std::string l; std::getline(lines, l);) {
        if (l.starts_with(page + "\t")) line = l.substr(page.size() + 1);
      }
      if (!line.empty()) return line;
      std::this_thread::sleep_for(200ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return line;
  }
  // Stops, and waits until the source kept warm for a moment is gone: the next start is a new
  // one, as after a restart of the program.
  void stopForGood() {
    BASS_Free();
    std::this_thread::sleep_for(6s);
  }

  std::string root_;
  std::string pages_;
  std::unique_ptr<WebServer> web_;
  std::unique_ptr<TestStreamServer> live_;
  std::unique_ptr<TestStreamServer> jingle_;
};

// A public page whose candidates and whose playlist name this machine, its LAN and a name that
// resolves here, and a redirect that leads here, before its real stream: none of them is ever
// requested, on the first visit, on the reconnection after the stream drops, or on a later start
// that begins with the remembered playlist.
TEST_F(PageReachTest, APublicPageNeverReachesThisMachineNowOrLater) {
  write("station.html",
        "<!DOCTYPE html><html><body><audio class=\"live\" src=\"" +
            at("2001:db8::10", web_->port(), "/trap-own6.mp3") + "\"></audio><a href=\"" +
            at("198.51.100.7", web_->port(), "/trap-own4.m3u") + "\">Listen</a><a href=\"" +
            web("/live.m3u") + "\">Listen live</a></body></html>");
  std::string m3u = "#EXTM3U\n" + at("127.0.0.1", web_->port(), "/trap-loop.mp3") + "\n" +
                    at("192.168.77.1", web_->port(), "/trap-lan.mp3") + "\n" +
                    at("2001:db8::10", web_->port(), "/trap-own6b.mp3") + "\n" + web("/hop.mp3") +
                    "\n";
  if (gOwnHosts) m3u += at("trap.example", web_->port(), "/trap-name.mp3") + "\n";
  write("live.m3u", m3u + live("/live") + "\n");

  const std::string page = web("/station.html");
  radiolist::test::startLikeTheWindow(page);
  ASSERT_TRUE(hears(440, 20s)) << webLog();
  EXPECT_EQ(rememberedFor(page, 25s), web("/live.m3u"));
  // The stream drops after 24 s of audio: the reconnection goes to the remembered playlist.
  std::this_thread::sleep_for(12s);
  EXPECT_TRUE(hears(440, 15s));
  stopForGood();
  radiolist::test::startLikeTheWindow(page);
  EXPECT_TRUE(hears(440, 20s));
  BASS_Free();

  std::size_t liveRequests = 0;
  for (const auto& line : live_->requestLog()) {
    EXPECT_EQ(line.find("trap"), std::string::npos) << line;
    liveRequests += line.starts_with("REQ GET /live") ? 1 : 0;
  }
  EXPECT_GE(liveRequests, 3u) << "first visit, reconnection, later start";
  const std::string log = webLog();
  EXPECT_EQ(log.find("trap"), std::string::npos) << log;
  EXPECT_NE(log.find("GET /hop.mp3"), std::string::npos) << "the redirect was not tried: " << log;
  // The later start asked the page first, then went to what it named before.
  const auto secondPage = log.find("GET /station.html", log.find("GET /station.html") + 1);
  ASSERT_NE(secondPage, std::string::npos) << log;
  EXPECT_EQ(log.find("GET /", secondPage + 1), log.find("GET /live.m3u", secondPage)) << log;
}

// Pages that put files before their stream: a link labelled "Слушать эфир" comes before an
// advertisement linked first; where nothing is labelled, a file that says its length is passed
// over, one whose body ends is left when it ends, and the stream after them plays and is the one
// remembered.
TEST_F(PageReachTest, AdvertsBeforeTheStreamAreNeitherLoopedNorRemembered) {
  write("labelled.html",
        "<html><body><a href=\"/promo/spot.mp3\">Our sponsor</a>"
        "<a class=\"btn\" href=\"" +
            live("/a.mp3") + "\">Слушать эфир</a></body></html>");
  const std::string labelled = web("/labelled.html");
  radiolist::test::startLikeTheWindow(labelled);
  EXPECT_TRUE(hears(440, 20s));
  EXPECT_EQ(webLog().find("spot.mp3"), std::string::npos) << "the advert was tried first";
  BASS_Free();

  write("plain.html", "<html><body><a href=\"/promo/spot.mp3\">a</a><a href=\"" +
                          at(kInternet, jingle_->port(), "/b.mp3") + "\">b</a><a href=\"" +
                          live("/c.mp3") + "\">c</a></body></html>");
  const std::string plain = web("/plain.html");
  radiolist::test::startLikeTheWindow(plain);
  ASSERT_TRUE(hears(440, 30s)) << webLog();
  EXPECT_EQ(rememberedFor(plain, 25s), live("/c.mp3"));
  std::size_t jingleRequests = 0;
  for (const auto& line : jingle_->requestLog())
    jingleRequests += line.starts_with("REQ GET") ? 1 : 0;
  EXPECT_EQ(jingleRequests, 1u) << "the jingle whose body ended was played again";
  BASS_Free();
}

// An address that answered with a page (a captive portal) and now serves its stream itself:
// the next start plays the address, and what the portal named is forgotten.
TEST_F(PageReachTest, AnAddressThatOnceAnsweredWithAPageIsAskedAgainFirst) {
  write("portal", "<html><body><a href=\"" + live("/live/portal") + "\">Listen</a></body></html>");
  const std::string portal = web("/portal");
  radiolist::test::startLikeTheWindow(portal);
  ASSERT_TRUE(hears(440, 20s));
  ASSERT_EQ(rememberedFor(portal, 25s), live("/live/portal"));
  stopForGood();
  std::filesystem::copy_file(std::string(RL_ENGINE_MEDIA_DIR) + "/tone330_48k_mono.mp3",
                             root_ + "/www/portal",
                             std::filesystem::copy_options::overwrite_existing);
  radiolist::test::startLikeTheWindow(portal);
  EXPECT_TRUE(hears(330, 15s));
  EXPECT_EQ(rememberedFor(portal, 3s), "") << "still remembered after the address played itself";
  BASS_Free();
}

// This machine's own addresses are off limits to a public page however global they are, and
// with them their networks' neighbours; an address added later counts once the network watch
// reports it.
TEST(InterfaceNetworks, OwnAddressesAndTheirNeighboursFollowTheNetworksNews) {
  if (!gOwnNetwork) GTEST_SKIP() << "no network namespace of its own (needs root and ip)";
  using radiolist::net::isOffLimitsToPublic;
  radiolist::net::refreshInterfaceNetworks();
  const struct {
    const char* address;
    bool offLimits;
  } before[] = {{"198.51.100.7", true}, {"2001:db8::10", true}, {"192.168.77.1", true},
                {"192.0.2.1", false},   {"203.0.113.7", false}, {"2001:db8:1::1", false}};
  for (const auto& c : before) EXPECT_EQ(isOffLimitsToPublic(c.address), c.offLimits) << c.address;

  const radiolist::net::NetworkWatch watch([] {});
  ASSERT_TRUE(watch.watching());
  ASSERT_TRUE(run("ip addr add 203.0.113.7/24 dev lo"));
  const auto deadline = std::chrono::steady_clock::now() + 15s;
  while (!isOffLimitsToPublic("203.0.113.7") && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(isOffLimitsToPublic("203.0.113.7")) << "the new address was not taken in";
  EXPECT_TRUE(isOffLimitsToPublic("203.0.113.200")) << "a neighbour on its network";
  EXPECT_FALSE(isOffLimitsToPublic("203.0.114.1"));
  EXPECT_FALSE(isOffLimitsToPublic("192.0.2.1")) << "routed here, yet no interface's address";
  run("ip addr del 203.0.113.7/24 dev lo");
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread exists: every thread the test starts then lives in the new namespaces.
  gOwnNetwork =
      ::unshare(CLONE_NEWNET) == 0 && run("ip link set lo up") &&
      run("ip route add local 192.0.2.0/24 dev lo") && run("ip addr add 198.51.100.7/32 dev lo") &&
      run("ip addr add 192.168.77.1/32 dev lo") && run("ip -6 addr add 2001:db8::10/128 dev lo");
  if (gOwnNetwork && ::unshare(CLONE_NEWNS) == 0 &&
      ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) {
    char hosts[] = "/tmp/rl-page-reach-hosts-XXXXXX";
    const int fd = ::mkstemp(hosts);
    if (fd >= 0) {
      const std::string text = slurp("/etc/hosts") + "\n127.0.0.1 trap.example\n";
      gOwnHosts = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                  ::mount(hosts, "/etc/hosts", nullptr, MS_BIND, nullptr) == 0;
      ::close(fd);
      ::unlink(hosts);
    }
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
