// Measures how the audio library keeps a channel playing through dropped connections.
//
//   bench_reconnect [DROPS] [CYCLES]     needs RADIOLIST_TEST_SERVERS (the loopback test servers)
//
// Part 1, the nine calls as the program uses them: the MP3 mount plays; DROPS times, Icecast is
// stopped, the channel's buffered audio plays out, a second later Icecast is started again
// (Icecast, then its ffmpeg feeder, which takes a few seconds to get the mount going). Measured:
// from starting Icecast again to the first moment the 440 Hz tone is heard at the null sink's
// monitor, and how long the test script took to see the mount live (it polls; the library may be
// faster). Before each drop the channel plays 11 s, so each drop meets the pauses between tries
// from their start.
//
// Part 2, the engine itself with short pauses between tries (50 ms growing to 200 ms instead of
// 0.5 s to 30 s, so that many drops fit in a minute; everything else is the real code: network
// streams, decoder sessions, output): a test server cuts every connection after 20,000 bytes;
// memory and threads are read after 10, 50 and CYCLES drops.
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "playback/bass.h"
#include "playback/engine/engine.h"
#include "playback/engine/output.h"
#include "playback/net/http_stream.h"
#include "playback/net/url_check.h"
#include "support/child_process.h"
#include "support/proc_status.h"
#include "support/signal_analysis.h"
#include "support/sink_recorder.h"
#include "support/test_servers.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using radiolist::test::threadCount;

bool serversCommand(const radiolist::test::TestServers& servers, const char* command) {
  const auto r =
      radiolist::test::runCommand({.argv = {RL_TEST_SERVERS_SH, command, servers.dir()}}, 60s);
  if (r.exitCode != 0) std::fprintf(stderr, "%s failed: %s\n", command, r.output.c_str());
  return r.exitCode == 0;
}

bool hears440(radiolist::test::SinkRecorder& recorder, std::chrono::milliseconds timeout,
              std::chrono::milliseconds* waited = nullptr) {
  const auto got = recorder.waitFor(200ms, timeout, [](std::span<const float> s) {
    return radiolist::test::toneShare(s, 440, radiolist::test::SinkRecorder::kSampleRate) > 0.5;
  });
  if (got && waited) *waited = *got;
  return got.has_value();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty()      ? 0
         : v.size() % 2 ? v[v.size() / 2]
                        : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

int icecastDrops(const radiolist::test::TestServers& servers,
                 radiolist::test::SinkRecorder& recorder, int drops) {
  BASS_Init(-1, 44100, 0, nullptr, nullptr);
  const std::string url = servers.mp3Url();
  const std::u16string wide(url.begin(), url.end());
  const HSTREAM h = BASS_StreamCreateURL(wide.c_str(), 0, BASS_UNICODE, nullptr, nullptr);
  BASS_ChannelPlay(h, 1);
  if (!hears440(recorder, 10s)) {
    std::fprintf(stderr, "bench_reconnect: the mount is not heard\n");
    return 1;
  }
  std::vector<double> seconds, live;
  for (int i = 0; i < drops; ++i) {
    std::this_thread::sleep_for(11s);
    if (!serversCommand(servers, "icecast-down")) return 1;
    // What the channel had buffered plays out first; the return is timed from silence.
    if (!recorder.waitFor(
            300ms, 30s, [](std::span<const float> s) { return radiolist::test::rms(s) < 1e-3; })) {
      std::fprintf(stderr, "bench_reconnect: still sounding 30 s after Icecast stopped\n");
      return 1;
    }
    std::this_thread::sleep_for(1s);
    // The recorder looks from here on, while the script starts Icecast and waits for the mount.
    const auto from = recorder.position();
    const auto up = Clock::now();
    if (!serversCommand(servers, "icecast-up")) return 1;
    live.push_back(std::chrono::duration<double>(Clock::now() - up).count());
    std::size_t checked = 0;
    const auto heard = recorder.waitFor(200ms, 60s, [&](std::span<const float>) {
      const auto since = recorder.since(from);
      // The first 200 ms window after `from` in which the tone dominates.
      for (std::size_t& at = checked; at + 8820 <= since.size(); at += 2205) {
        if (radiolist::test::toneShare(std::span(since).subspan(at, 8820), 440,
                                       radiolist::test::SinkRecorder::kSampleRate) > 0.5) {
          seconds.push_back(static_cast<double>(at + 8820) /
                            radiolist::test::SinkRecorder::kSampleRate);
          return true;
        }
      }
      return false;
    });
    if (!heard) {
      std::fprintf(stderr, "bench_reconnect: no sound within 60 s after drop %d\n", i + 1);
      return 1;
    }
    std::printf(
        "drop %2d: sound %.2f s after Icecast was started again (script saw the mount live "
        "after %.2f s)\n",
        i + 1, seconds.back(), live.back());
    std::fflush(stdout);
  }
  std::printf(
      "\nIcecast restarts: %d; from starting Icecast again to sound: median %.2f s, min %.2f "
      "s, max %.2f s; the script saw the mount live after a median %.2f s\n\n",
      drops, median(seconds), *std::min_element(seconds.begin(), seconds.end()),
      *std::max_element(seconds.begin(), seconds.end()), median(live));
  BASS_Free();
  return 0;
}

// teststream.py on a free port; returns its port, 0 on failure.
int startTestStream(radiolist::test::ChildProcess& child) {
  std::string out;
  const auto deadline = Clock::now() + 10s;
  while (Clock::now() < deadline) {
    pollfd p{child.stdoutFd(), POLLIN, 0};
    if (poll(&p, 1, 100) > 0) {
      char buf[256];
      const ssize_t n = read(child.stdoutFd(), buf, sizeof buf);
      if (n > 0) out.append(buf, static_cast<std::size_t>(n));
      if (const auto at = out.find("PORT ");
          at != std::string::npos && out.find('\n', at) != std::string::npos)
        return std::atoi(out.c_str() + at + 5);
    }
  }
  return 0;
}

int manyDrops(const std::string& logPath, int port, int cycles) {
  using namespace radiolist;
  audio::EngineDeps deps;
  deps.openStream = [](const std::string& url, std::optional<net::ByteRange> range, net::Reach) {
    net::StreamOptions options;
    options.url = url;
    options.range = range;
    options.bufferBytes = 256 * 1024;
    return net::HttpStream::start(std::move(options));
  };
  deps.openOutput = [](audio::Mixer& mixer) { return audio::openPulseOutput(mixer, 1500ms); };
  deps.plausibleUrl = [](std::string_view url) { return net::isPlausibleStreamUrl(url); };
  deps.retry.firstPause = 50ms;
  deps.retry.longestPause = 200ms;
  audio::Engine engine(std::move(deps));
  if (!engine.init()) {
    std::fprintf(stderr, "bench_reconnect: no sound server\n");
    return 1;
  }
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/drops.mp3";
  const DWORD h = engine.create(url, audio::CreationKind::General);
  engine.play(h, true);
  const auto requests = [&] {
    std::ifstream in(logPath);
    std::string line;
    int n = 0;
    while (std::getline(in, line)) n += line.rfind("REQ", 0) == 0;
    return n;
  };
  std::printf(
      "| drops | RSS MiB | heap in use MiB | threads | stream threads |\n|---|---|---|---|---|\n");
  const auto started = Clock::now();
  for (int mark : {10, cycles / 4, cycles / 2, 3 * cycles / 4, cycles}) {
    while (requests() < mark + 1) {
      if (Clock::now() - started > 10min) {
        std::fprintf(stderr, "bench_reconnect: only %d connections in 10 minutes\n", requests());
        return 1;
      }
      std::this_thread::sleep_for(50ms);
    }
    std::this_thread::sleep_for(300ms);  // the cut connection's thread winds down
    std::printf("| %d | %.1f | %.1f | %zu | %zu |\n", mark,
                static_cast<double>(radiolist::test::statusKiB("self", "VmRSS")) / 1024.0,
                static_cast<double>(mallinfo2().uordblks) / 1048576.0, threadCount(),
                net::HttpStream::liveTransfers());
    std::fflush(stdout);
  }
  std::printf("\n%d drops in %.1f s; the handle still %s\n", cycles,
              std::chrono::duration<double>(Clock::now() - started).count(),
              engine.isActive(h) == BASS_ACTIVE_STOPPED ? "STOPPED" : "alive (playing or stalled)");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int drops = argc > 1 ? std::atoi(argv[1]) : 10;
  const int cycles = argc > 2 ? std::atoi(argv[2]) : 100;
  std::string why;
  const auto servers = radiolist::test::TestServers::fromEnvironment(&why);
  if (!servers) {
    std::fprintf(stderr, "bench_reconnect: %s\n", why.c_str());
    return 1;
  }
  servers->exportPulseServer();
  if (drops > 0) {
    // Only here: the recording grows for as long as it runs, which part 2 must not count.
    radiolist::test::SinkRecorder recorder(*servers, 120);
    if (const std::string e = recorder.start(); !e.empty()) {
      std::fprintf(stderr, "bench_reconnect: %s\n", e.c_str());
      return 1;
    }
    if (icecastDrops(*servers, recorder, drops) != 0) return 1;
  }

  if (cycles > 0) {
    const std::string logPath = servers->dir() + "/bench-reconnect-requests.log";
    std::remove(logPath.c_str());
    radiolist::test::ChildProcess server(
        {.argv = {"python3", RL_TESTSTREAM_PY, "--port", "0", "--file", RL_BENCH_TONE_MP3,
                  "--status", "icy", "--rate", "0", "--drop-after", "20000", "--log", logPath},
         .captureStdout = true});
    const int port = startTestStream(server);
    if (port == 0) {
      std::fprintf(stderr, "bench_reconnect: teststream.py did not start\n");
      return 1;
    }
    return manyDrops(logPath, port, cycles);
  }
  return 0;
}
