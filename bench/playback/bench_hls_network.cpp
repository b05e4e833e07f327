// What one live HLS stream costs the network side: TCP connections, threads and CPU.
//
//   bench_hls_network [PLAIN_SECONDS] [TLS_SECONDS]      (defaults 20 and 60; no test servers)
//
// tools/hls-live.py serves AAC segments of 1 s with keep-alive (HTTP/1.1), first over http,
// then over https with a certificate made for the run. The engine plays the stream with all its
// real parts (network streams, HLS demuxer, decoder, mixer) into an output that takes 20 ms of
// audio every 20 ms and throws it away, so no sound server is needed. Measured over each run:
// the connections the server accepted and the requests it answered, the process's threads while
// playing (the most seen), its CPU time (user + system), and whether the tone was heard.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "playback/hls/live_server.h"  // tests/playback/hls
#include "playback/engine/engine.h"
#include "playback/net/http_stream.h"
#include "playback/net/url_check.h"
#include "support/child_process.h"
#include "support/proc_status.h"

namespace {

using namespace std::chrono_literals;
using namespace radiolist;

// Renders the mixer in real time and keeps the loudest sample seen.
class NullOutput final : public audio::Output {
 public:
  explicit NullOutput(audio::Mixer& mixer)
      : thread_([this, &mixer](std::stop_token stop) {
          std::vector<float> buffer(2 * 882);
          auto next = std::chrono::steady_clock::now();
          while (!stop.stop_requested()) {
            mixer.render(buffer.data(), 882);
            for (float s : buffer) peak_ = std::max(peak_.load(), std::fabs(s));
            next += 20ms;
            std::this_thread::sleep_until(next);
          }
        }) {}
  [[nodiscard]] bool healthy() const override { return true; }
  void dropQueued() override {}
  static inline std::atomic<float> peak_{0};

 private:
  std::jthread thread_;
};

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

int run(const char* name, const std::vector<std::string>& serverArgs, const std::string& caFile,
        std::chrono::seconds length) {
  test::LiveServer server(serverArgs);
  if (server.url().empty()) {
    std::fprintf(stderr, "bench_hls_network: hls-live.py gave no address\n");
    return 1;
  }
  audio::EngineDeps deps;
  deps.openStream = [caFile](const std::string& url, std::optional<net::ByteRange> range,
                             net::Reach) {
    net::StreamOptions options;
    options.url = url;
    options.range = range;
    options.caFile = caFile;
    return net::HttpStream::start(options);
  };
  deps.openOutput = [](audio::Mixer& mixer) { return std::make_unique<NullOutput>(mixer); };
  deps.plausibleUrl = [](std::string_view url) { return net::isPlausibleStreamUrl(url); };
  const std::size_t threadsBefore = radiolist::test::threadCount();
  std::size_t threadsMost = 0;
  NullOutput::peak_ = 0;
  {
    audio::Engine engine(deps);
    engine.init();
    const DWORD channel = engine.create(server.url(), audio::CreationKind::Aac);
    engine.play(channel, true);
    std::this_thread::sleep_for(3s);  // the stream gets going; its start-up is not measured
    const std::size_t connectionsFrom = server.connections();
    const std::size_t requestsFrom = server.requestLog().size();
    const double cpuFrom = cpuSeconds();
    const auto end = std::chrono::steady_clock::now() + length;
    while (std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(250ms);
      threadsMost = std::max(threadsMost, radiolist::test::threadCount());
    }
    const double cpu = cpuSeconds() - cpuFrom;
    std::printf(
        "%-5s %3lld s: %3zu TCP connections (%zu with the start), %3zu requests, threads %zu "
        "before, at most %zu while playing, CPU %.2f s (%.1f%%), peak level %.2f\n",
        name, static_cast<long long>(length.count()), server.connections() - connectionsFrom,
        server.connections(), server.requestLog().size() - requestsFrom, threadsBefore, threadsMost,
        cpu, 100 * cpu / static_cast<double>(length.count()), NullOutput::peak_.load());
    std::fflush(stdout);
    engine.shutdown();
  }
  return NullOutput::peak_ > 0.01 ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::chrono::seconds plain(argc > 1 ? std::atoi(argv[1]) : 20);
  const std::chrono::seconds tls(argc > 2 ? std::atoi(argv[2]) : 60);
  const std::vector<std::string> common = {"--format", "aac", "--segment", "1", "--keep-alive"};
  int rc = run("http", common, "", plain);

  char dir[] = "/tmp/rl-bench-tls-XXXXXX";
  if (::mkdtemp(dir) == nullptr) return 1;
  const std::string cert = std::string(dir) + "/cert.pem", key = std::string(dir) + "/key.pem";
  const auto made = radiolist::test::runCommand(
      {.argv =
           {"sh", "-c",
            "openssl req -x509 -newkey rsa:2048 -nodes -keyout " + key + " -out " + cert +
                " -days 1 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 2>/dev/null"}},
      60s);
  if (made.exitCode != 0) {
    std::fprintf(stderr, "bench_hls_network: openssl could not make a certificate\n");
    return 1;
  }
  std::vector<std::string> withTls = common;
  withTls.insert(withTls.end(), {"--tls-cert", cert, "--tls-key", key});
  rc = std::max(rc, run("https", withTls, cert, tls));
  std::filesystem::remove_all(dir);
  return rc;
}
