// Counts the connections a channel makes after its station went away, with and without the
// kernel's network news (an address added to and removed from the loopback ten times a second).
//
//   bench_network_news [SECONDS]     as root: it runs in a network namespace of its own
//
// For each case a tone plays from tools/teststream.py for 3 s; then the server goes away and,
// on the same port, either a server that answers 404 to every request takes its place or
// nothing does (connections are refused). Counted for SECONDS (30) from then: the connections
// the engine started (and, for 404, the requests the server logged). The engine is the real one
// (HTTP streams, decoder, the network watch as the library starts it); the output is a thread
// that renders the mixer at about the sound card's pace, so no sound server is needed.
#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "playback/engine/engine.h"
#include "playback/net/http_stream.h"
#include "playback/net/network_watch.h"
#include "playback/net/url_check.h"
#include "support/child_process.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using radiolist::test::ChildProcess;

bool loopbackUp() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool done = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
  done = done && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  ::close(fd);
  return done;
}

// Adds or removes 10.9.9.9/32 on the loopback (RTM_NEWADDR / RTM_DELADDR), waiting for the ack.
bool changeAddress(int fd, bool add) {
  struct {
    nlmsghdr header;
    ifaddrmsg address;
    alignas(NLA_ALIGNTO) std::array<char, 16> attributes;
  } request{};
  request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ifaddrmsg)) + RTA_LENGTH(4);
  request.header.nlmsg_type = add ? RTM_NEWADDR : RTM_DELADDR;
  request.header.nlmsg_flags =
      static_cast<std::uint16_t>(NLM_F_REQUEST | NLM_F_ACK | (add ? NLM_F_CREATE : 0));
  request.address.ifa_family = AF_INET;
  request.address.ifa_prefixlen = 32;
  request.address.ifa_index = if_nametoindex("lo");
  rtattr local{};
  local.rta_type = IFA_LOCAL;
  local.rta_len = RTA_LENGTH(4);
  in_addr ip{};
  inet_pton(AF_INET, "10.9.9.9", &ip);
  std::memcpy(request.attributes.data(), &local, sizeof local);
  std::memcpy(request.attributes.data() + RTA_LENGTH(0), &ip, 4);
  if (::send(fd, &request, request.header.nlmsg_len, 0) < 0) return false;
  alignas(nlmsghdr) std::array<char, 512> answer{};
  const ssize_t got = ::recv(fd, answer.data(), answer.size(), 0);
  if (got < static_cast<ssize_t>(NLMSG_LENGTH(sizeof(nlmsgerr)))) return false;
  nlmsgerr error{};
  std::memcpy(&error, answer.data() + NLMSG_HDRLEN, sizeof error);
  return error.error == 0;
}

// Ten additions and ten removals a second while it lives.
class AddressChurn {
 public:
  AddressChurn()
      : fd_(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)),
        thread_([this](const std::stop_token& stop) {
          for (bool add = true; !stop.stop_requested(); add = !add) {
            if (!changeAddress(fd_, add)) failures_.fetch_add(1);
            changes_.fetch_add(1);
            std::this_thread::sleep_for(50ms);
          }
        }) {}
  ~AddressChurn() {
    thread_.request_stop();
    thread_.join();
    changeAddress(fd_, false);
    ::close(fd_);
  }
  AddressChurn(const AddressChurn&) = delete;
  AddressChurn& operator=(const AddressChurn&) = delete;
  [[nodiscard]] int changes() const { return changes_.load(); }
  [[nodiscard]] int failures() const { return failures_.load(); }

 private:
  int fd_;
  std::atomic<int> changes_{0};
  std::atomic<int> failures_{0};
  std::jthread thread_;  // last: stopped before the socket closes
};

// Renders the mixer at about the pace of a sound card (1024 frames every 23 ms).
class PacedOutput final : public radiolist::audio::Output {
 public:
  explicit PacedOutput(radiolist::audio::Mixer& mixer)
      : thread_([&mixer](const std::stop_token& stop) {
          std::vector<float> out(2 * 1024);
          while (!stop.stop_requested()) {
            mixer.render(out.data(), 1024);
            std::this_thread::sleep_for(23ms);
          }
        }) {}
  [[nodiscard]] bool healthy() const override { return true; }
  void dropQueued() override {}

 private:
  std::jthread thread_;
};

// teststream.py's port from its first line, 0 when it does not come within 10 s.
int portOf(const ChildProcess& child) {
  std::string out;
  const auto deadline = Clock::now() + 10s;
  while (Clock::now() < deadline && out.find('\n') == std::string::npos) {
    pollfd p{child.stdoutFd(), POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    std::array<char, 128> buf{};
    const ssize_t n = read(child.stdoutFd(), buf.data(), buf.size());
    if (n > 0) out.append(buf.data(), static_cast<std::size_t>(n));
  }
  int port = 0;
  return std::sscanf(out.c_str(), "PORT %d", &port) == 1 ? port : 0;
}

std::unique_ptr<ChildProcess> server(int port, const std::vector<std::string>& extra) {
  std::vector<std::string> argv{"python3", RL_TESTSTREAM_PY, "--port", std::to_string(port)};
  argv.insert(argv.end(), extra.begin(), extra.end());
  return std::make_unique<ChildProcess>(ChildProcess::Options{.argv = argv, .captureStdout = true});
}

int lines(const std::string& path, const char* prefix) {
  std::ifstream in(path);
  int n = 0;
  for (std::string line; std::getline(in, line);) n += line.starts_with(prefix) ? 1 : 0;
  return n;
}

struct Counts {
  int connections = 0;
  int requests = 0;  // as the 404 server logged them
  int changes = 0;   // address changes made meanwhile
};

// One case: plays the tone, takes the server away (answering 404 if `answers`), and counts.
bool runCase(radiolist::audio::Engine& engine, std::atomic<int>& opens, bool answers, bool news,
             std::chrono::seconds span, Counts& counts) {
  if (!engine.init()) return false;
  auto tone = server(0, {"--file", RL_BENCH_TONE_MP3, "--status", "icy", "--rate", "16000"});
  const int port = portOf(*tone);
  if (port == 0) return false;
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/tone.mp3";
  const DWORD handle = engine.create(url, radiolist::audio::CreationKind::General);
  engine.play(handle, true);
  const auto deadline = Clock::now() + 10s;
  while (engine.isActive(handle) != BASS_ACTIVE_PLAYING && Clock::now() < deadline)
    std::this_thread::sleep_for(20ms);
  if (engine.isActive(handle) != BASS_ACTIVE_PLAYING) {
    std::fprintf(stderr, "bench_network_news: the tone does not play\n");
    return false;
  }
  std::this_thread::sleep_for(3s);

  std::unique_ptr<AddressChurn> churn;
  if (news) churn = std::make_unique<AddressChurn>();
  std::this_thread::sleep_for(200ms);  // the news already flows when the station goes away
  const std::string log = "/tmp/bench-network-news-" + std::to_string(::getpid()) + ".log";
  std::remove(log.c_str());
  const int before = opens.load();
  tone->terminate();
  std::unique_ptr<ChildProcess> notFound;
  if (answers) {
    notFound = server(port, {"--status-code", "404", "--log", log});
    if (portOf(*notFound) != port) return false;
  }
  std::this_thread::sleep_for(span);
  counts.connections = opens.load() - before;
  counts.requests = answers ? lines(log, "END") : 0;
  counts.changes = churn ? churn->changes() : 0;
  if (churn && churn->failures() > 0)
    std::fprintf(stderr, "bench_network_news: %d address changes failed\n", churn->failures());
  churn.reset();
  notFound.reset();
  engine.free();
  while (engine.liveSources() > 0) std::this_thread::sleep_for(50ms);
  std::remove(log.c_str());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::chrono::seconds span(argc > 1 ? std::atoi(argv[1]) : 30);
  // Before any thread starts, so that every thread lives in the new namespace.
  if (::unshare(CLONE_NEWNET) != 0 || !loopbackUp()) {
    std::fprintf(stderr, "bench_network_news: needs root (a network namespace of its own)\n");
    return 1;
  }
  using namespace radiolist;
  std::atomic<int> opens{0};
  audio::EngineDeps deps;
  deps.openStream = [&opens](const std::string& url, std::optional<net::ByteRange> range,
                             net::Reach) {
    opens.fetch_add(1);
    net::StreamOptions options;
    options.url = url;
    options.range = range;
    options.bufferBytes = 256 * 1024;
    return net::HttpStream::start(std::move(options));
  };
  deps.openOutput = [](audio::Mixer& mixer) { return std::make_unique<PacedOutput>(mixer); };
  deps.plausibleUrl = [](std::string_view url) { return net::isPlausibleStreamUrl(url); };
  deps.keepWarm = 100ms;
  audio::Engine engine(std::move(deps));
  // As the library does from its first BASS_Init.
  const net::NetworkWatch watch([&engine] { engine.retryNow(); });
  if (!watch.watching()) {
    std::fprintf(stderr, "bench_network_news: no netlink\n");
    return 1;
  }

  std::printf("| station after it played | network | connections in %llds | requests logged |\n",
              static_cast<long long>(span.count()));
  std::printf("|---|---|---|---|\n");
  for (const bool answers : {true, false}) {
    for (const bool news : {false, true}) {
      Counts counts;
      if (!runCase(engine, opens, answers, news, span, counts)) return 1;
      std::printf("| %s | %s | %d | %s |\n", answers ? "answers 404" : "refuses",
                  news ? ("news (" + std::to_string(counts.changes) + " address changes)").c_str()
                       : "quiet",
                  counts.connections, answers ? std::to_string(counts.requests).c_str() : "-");
      std::fflush(stdout);
    }
  }
  engine.shutdown();
  return 0;
}
