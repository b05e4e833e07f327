// Measures the audio library against ffplay on the loopback test servers.
//
//   bench_audio [SECONDS] [RUNS]     compare both players on the MP3 and AAC mounts, then run
//                                    create/free cycles; needs RADIOLIST_TEST_SERVERS
//   bench_audio play URL SECONDS     (internal) one player process of the library
//
// Both players run as child processes started the same way, so "launch to first sound" means
// the same for both. "First sound" is the first non-zero sample that the null sink's monitor
// delivers after the launch (the sink is silent otherwise). The child of the library also says
// when it called BASS_ChannelPlay, which gives "play to first sound".
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "playback/bass.h"
#include "playback/engine/process_stats.h"
#include "playback/engine/shutdown.h"
#include "support/child_process.h"
#include "support/proc_status.h"
#include "support/sink_recorder.h"
#include "support/test_servers.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using radiolist::test::statusKiB;
using radiolist::test::threadCount;

double secondsSinceBoot() {  // CLOCK_MONOTONIC, comparable between processes
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

// Field `key` of /proc/<pid>/status in kB ("VmHWM", "VmRSS"), or -1.
// User + system CPU seconds of a process from /proc/<pid>/stat.
double cpuSeconds(const std::string& pid) {
  std::ifstream in("/proc/" + pid + "/stat");
  std::string all;
  std::getline(in, all);
  const auto close = all.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(all.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; rest >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(field);
    if (i == 15) break;
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The child: plays URL like the window does, reports when it pressed play, its CPU and peak RSS.
int playChild(const std::string& url, int seconds) {
  // RADIOLIST_BENCH_LEVEL=0: the same without levelling (BENCHMARKS.md, "Levelling loudness").
  if (const char* level = std::getenv("RADIOLIST_BENCH_LEVEL"); level && std::string(level) == "0")
    radiolist::audio::setLevelLoudness(false);
  BASS_Free();
  BASS_Init(-1, 44100, 0, nullptr, nullptr);
  const HSTREAM general = BASS_StreamCreateURL(url.c_str(), 0, 0, nullptr, nullptr);
  const HSTREAM aac = BASS_AAC_StreamCreateURL(url.c_str(), 0, 0, nullptr, nullptr);
  std::printf("play %.6f\n", secondsSinceBoot());
  std::fflush(stdout);
  BASS_ChannelPlay(general, 1);
  BASS_ChannelPlay(aac, 1);
  BASS_Start();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  std::printf("cpu %.3f hwm %ld underruns %llu\n", cpuSeconds("self"), statusKiB("self", "VmHWM"),
              static_cast<unsigned long long>(radiolist::audio::processOutputUnderruns()));
  std::fflush(stdout);
  return 0;
}

struct Run {
  std::optional<double> launchToSound;  // seconds
  std::optional<double> playToSound;
  double cpuPerMinute = 0;
  long peakRssKb = 0;
  long underruns = -1;       // the library's output only
  std::size_t dropouts = 0;  // silent 20 ms windows after the first sound
};

std::string readAll(int fd) {
  std::string out;
  char buf[4096];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

Run measure(radiolist::test::SinkRecorder& recorder, const std::vector<std::string>& argv,
            const std::vector<std::pair<std::string, std::string>>& env, int seconds, bool ours) {
  Run run;
  const double launched = secondsSinceBoot();
  const std::uint64_t from = recorder.position();
  radiolist::test::ChildProcess child({argv, env, true});
  const std::string pid = std::to_string(child.pid());
  std::this_thread::sleep_for(std::chrono::seconds(seconds) - 300ms);
  double cpu = cpuSeconds(pid);
  long hwm = statusKiB(pid, "VmHWM");
  std::string out;
  if (ours) {
    child.waitFor(5s);
    out = readAll(child.stdoutFd());
    double playAt = 0;
    for (std::istringstream lines(out); std::getline(lines, out);) {
      if (std::sscanf(out.c_str(), "play %lf", &playAt) == 1) continue;
      std::sscanf(out.c_str(), "cpu %lf hwm %ld underruns %ld", &cpu, &hwm, &run.underruns);
    }
    if (playAt > 0) run.playToSound = -(playAt - launched);  // completed below
  }
  child.terminate();
  run.cpuPerMinute = cpu / seconds * 60;
  run.peakRssKb = hwm;
  const std::vector<float> heard = recorder.since(from);
  const auto loud =
      std::find_if(heard.begin(), heard.end(), [](float s) { return std::fabs(s) > 1e-3f; });
  if (loud != heard.end()) {
    run.launchToSound =
        static_cast<double>(loud - heard.begin()) / radiolist::test::SinkRecorder::kSampleRate;
    if (run.playToSound) *run.playToSound += *run.launchToSound;
    // The player was stopped 0.3 s before the end of the recording taken here.
    const std::size_t window = radiolist::test::SinkRecorder::kSampleRate / 50;
    const auto start = static_cast<std::size_t>(loud - heard.begin());
    const std::size_t end = static_cast<std::size_t>(
        std::min<double>(static_cast<double>(heard.size()),
                         (seconds - 0.4) * radiolist::test::SinkRecorder::kSampleRate));
    for (std::size_t at = start; at + window <= end; at += window) {
      float peak = 0;
      for (std::size_t i = at; i < at + window; ++i) peak = std::max(peak, std::fabs(heard[i]));
      run.dropouts += peak < 1e-3f;
    }
  } else {
    run.playToSound.reset();
  }
  return run;
}

double median(std::vector<double> v) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

struct Summary {
  double launch = NAN, play = NAN, cpu = NAN, rssMb = NAN;
  int missed = 0;
  std::size_t dropouts = 0;
};

Summary summarise(const std::vector<Run>& runs) {
  std::vector<double> launch, play, cpu, rss;
  Summary s;
  for (const Run& r : runs) {
    if (r.launchToSound)
      launch.push_back(*r.launchToSound);
    else
      ++s.missed;
    if (r.playToSound) play.push_back(*r.playToSound);
    s.dropouts += r.dropouts;
    cpu.push_back(r.cpuPerMinute);
    rss.push_back(static_cast<double>(r.peakRssKb) / 1024);
  }
  s.launch = median(launch);
  s.play = median(play);
  s.cpu = median(cpu);
  s.rssMb = median(rss);
  return s;
}

void startPair(const std::string& address) {
  BASS_Free();
  BASS_Init(-1, 44100, 0, nullptr, nullptr);
  const HSTREAM general = BASS_StreamCreateURL(address.c_str(), 0, 0, nullptr, nullptr);
  const HSTREAM aac = BASS_AAC_StreamCreateURL(address.c_str(), 0, 0, nullptr, nullptr);
  BASS_ChannelPlay(general, 1);
  BASS_ChannelPlay(aac, 1);
  BASS_Start();
}

// RSS and threads of this process around `count` create/free cycles. The first sample is taken
// after 2 s of playing, when the decoder's code and buffers are in memory.
void cycles(const std::string& url, const std::string& label, int count, bool freshAddress) {
  const auto sample = [&](const char* when) {
    std::printf("  %-26s %-30s RSS %6.1f MiB, threads %zu\n", label.c_str(), when,
                static_cast<double>(statusKiB("self", "VmRSS")) / 1024, threadCount());
  };
  startPair(url);
  std::this_thread::sleep_for(2s);
  sample("playing, before the cycles:");
  for (int i = 0; i < count; ++i) {
    startPair(freshAddress ? url + "?cycle=" + std::to_string(i) : url);
    // A new connection per cycle: give each a moment, as a user clicking through would.
    if (freshAddress) std::this_thread::sleep_for(20ms);
  }
  std::this_thread::sleep_for(2s);
  sample(("playing, after " + std::to_string(count) + " cycles:").c_str());
  BASS_Free();
  std::this_thread::sleep_for(7s);  // warm connections time out and are closed
  sample("freed, 7 s later:");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "play") return playChild(argv[2], std::atoi(argv[3]));
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  std::string why;
  const auto servers = radiolist::test::TestServers::fromEnvironment(&why);
  if (!servers) {
    std::fprintf(stderr, "bench_audio: %s\n", why.c_str());
    return 1;
  }
  servers->exportPulseServer();
  radiolist::test::SinkRecorder recorder(*servers, 2 * seconds + 10);
  if (const std::string e = recorder.start(); !e.empty()) {
    std::fprintf(stderr, "bench_audio: %s\n", e.c_str());
    return 1;
  }
  const std::string self = "/proc/" + std::to_string(getpid()) + "/exe";
  char exe[4096] = {};
  if (readlink(self.c_str(), exe, sizeof exe - 1) <= 0) return 1;
  std::mt19937 rng(std::random_device{}());

  std::printf(
      "Each run: a fresh connection (a query string Icecast ignores), %d s of playback; "
      "medians of %d runs.\n\n",
      seconds, runs);
  std::printf(
      "| stream | player | launch->sound s | play->sound s | CPU s/min | peak RSS MiB | no sound | "
      "silent 20 ms windows |\n");
  std::printf("|---|---|---|---|---|---|---|---|\n");
  for (const auto& [name, url] : {std::pair{std::string("MP3 128k"), servers->mp3Url()},
                                  std::pair{std::string("AAC-LC 96k"), servers->aacUrl()}}) {
    std::vector<Run> ours, ffplay;
    for (int r = 0; r < runs; ++r) {
      const std::string address = url + "?bench=" + std::to_string(rng());
      const auto runOurs = [&] {
        ours.push_back(
            measure(recorder, {exe, "play", address, std::to_string(seconds)}, {}, seconds, true));
      };
      const auto runFfplay = [&] {
        ffplay.push_back(measure(recorder,
                                 {"ffplay", "-nodisp", "-autoexit", "-loglevel", "quiet", address},
                                 {{"SDL_AUDIODRIVER", "pulseaudio"}}, seconds, false));
      };
      // Alternate who goes first, so neither always meets a freshly warmed server.
      if (r % 2 == 0) {
        runOurs();
        runFfplay();
      } else {
        runFfplay();
        runOurs();
      }
    }
    const Summary a = summarise(ours), b = summarise(ffplay);
    std::printf("| %s | radiolist | %.2f | %.2f | %.2f | %.1f | %d/%d | %zu |\n", name.c_str(),
                a.launch, a.play, a.cpu, a.rssMb, a.missed, runs, a.dropouts);
    std::printf("| %s | ffplay | %.2f | - | %.2f | %.1f | %d/%d | %zu |\n", name.c_str(), b.launch,
                b.cpu, b.rssMb, b.missed, runs, b.dropouts);
    std::printf("| %s | ratio radiolist/ffplay | %.2f | - | %.2f | %.2f | | |\n", name.c_str(),
                a.launch / b.launch, a.cpu / b.cpu, a.rssMb / b.rssMb);
    std::fflush(stdout);
  }

  // The output under load: as many busy threads as cores, competing with the player.
  {
    std::atomic<bool> busy{true};
    std::vector<std::thread> hogs;
    for (unsigned i = 0; i < std::max(2u, std::thread::hardware_concurrency()); ++i)
      hogs.emplace_back([&busy] {
        volatile std::uint64_t x = 0;
        while (busy.load(std::memory_order_relaxed)) x = x + 1;
      });
    const std::string address = servers->mp3Url() + "?load=" + std::to_string(rng());
    const Run loaded =
        measure(recorder, {exe, "play", address, std::to_string(seconds)}, {}, seconds, true);
    busy = false;
    for (auto& t : hogs) t.join();
    std::printf(
        "\nUnder load (%zu busy threads, MP3, %d s): first sound after launch %.2f s, "
        "output underruns %ld, silent 20 ms windows after the first sound %zu\n",
        hogs.size(), seconds, loaded.launchToSound.value_or(NAN), loaded.underruns,
        loaded.dropouts);
  }

  recorder.stop();  // its buffer would count as our memory
  std::printf(
      "\nCreate/free cycles in this process (free, init, both creations, both plays, start):\n");
  cycles(servers->mp3Url(), "same address", 1000, false);
  cycles(servers->mp3Url(), "a new address every cycle", 400, true);
  return 0;
}
