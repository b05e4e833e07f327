// Pausing live radio, measured at the sink: from the call that plays a paused channel on to its
// sound, the delay behind live it then tells, and the process's CPU over 10 s heard behind live
// (the replay decoding kept packets, the decoder only demuxing) against 10 s live. The library runs
// in this process on the test servers' MP3 tone mount (see BENCHMARKS.md, "Pausing live radio").
//
//   bench_time_shift [RUNS] [PAUSE_SECONDS] [URL]
//
// URL plays another station instead of the tone mount: one that sends faster than real time
// (tools/teststream.py --rate 0), to see what a pause takes from it. The pause's columns: the
// body bytes received and the seconds of audio kept while paused, and the CPU it cost.
//
// Each run: a fresh connection, 3 s of sound, a pause of PAUSE_SECONDS, then play. The time to
// sound is where the first 5 ms window after the call rises above a tenth of the tone's level in
// the sink's monitor recording, which itself lags the sink by 20-50 ms: an upper bound.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "playback/bass.h"
#include "playback/engine/process_stats.h"
#include "playback/engine/shutdown.h"
#include "support/signal_analysis.h"
#include "support/sink_recorder.h"
#include "support/test_servers.h"

namespace {

using namespace std::chrono_literals;
using radiolist::test::SinkRecorder;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// Milliseconds from recording position `from` to the first loud 5 ms window; -1 when none.
double msToSound(SinkRecorder& recorder, std::uint64_t from) {
  recorder.waitForPosition(from + SinkRecorder::kSampleRate, 3s);
  const auto heard = recorder.since(from);
  constexpr std::size_t kWindow = SinkRecorder::kSampleRate / 200;
  for (std::size_t at = 0; at + kWindow <= heard.size(); at += kWindow) {
    if (radiolist::test::rms(std::span(heard).subspan(at, kWindow)) > 0.02)
      return 1000.0 * static_cast<double>(at) / SinkRecorder::kSampleRate;
  }
  return -1;
}

double cpuSeconds() {
  rusage use{};
  getrusage(RUSAGE_SELF, &use);
  return static_cast<double>(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
         static_cast<double>(use.ru_utime.tv_usec + use.ru_stime.tv_usec) * 1e-6;
}

// CPU seconds the process spends over the next 10 s.
double cpuOver10s() {
  const double before = cpuSeconds();
  std::this_thread::sleep_for(10s);
  return cpuSeconds() - before;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const int pauseSeconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  std::string why;
  const auto servers = radiolist::test::TestServers::fromEnvironment(&why);
  if (!servers) {
    std::fprintf(stderr, "bench_time_shift: %s\n", why.c_str());
    return 1;
  }
  servers->exportPulseServer();
  SinkRecorder recorder(*servers, 60);
  if (const std::string e = recorder.start(); !e.empty()) {
    std::fprintf(stderr, "bench_time_shift: %s\n", e.c_str());
    return 1;
  }
  std::mt19937 rng(std::random_device{}());
  const std::string station = argc > 3 ? argv[3] : servers->mp3Url();
  std::vector<double> resume, behindCpu, liveCpu, pausedCpu;
  std::printf(
      "| run | paused: KiB received | s of audio kept | CPU s per 10 s | play->sound ms | delay "
      "after %d s paused | CPU s per 10 s behind | live |\n",
      pauseSeconds);
  std::printf("|---|---|---|---|---|---|---|---|\n");
  for (int run = 1; run <= runs; ++run) {
    const std::string url = station + "?bench=" + std::to_string(rng());
    const std::u16string wide(url.begin(), url.end());
    BASS_Free();
    BASS_Init(-1, 44100, BASS_UNICODE, nullptr, nullptr);
    const HSTREAM h = BASS_StreamCreateURL(wide.c_str(), 0, BASS_UNICODE, nullptr, nullptr);
    BASS_ChannelPlay(h, 1);
    BASS_Start();
    std::this_thread::sleep_for(3s);
    radiolist::audio::channelPause(h, true);
    const auto before =
        radiolist::audio::streamFigures(h).value_or(radiolist::audio::StreamFigures{});
    const double cpuBefore = cpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(pauseSeconds));
    pausedCpu.push_back((cpuSeconds() - cpuBefore) * 10 / pauseSeconds);
    const auto after =
        radiolist::audio::streamFigures(h).value_or(radiolist::audio::StreamFigures{});
    const auto delay = radiolist::audio::channelShift(h).value_or(radiolist::ShiftState{});
    const std::uint64_t from = recorder.position();
    radiolist::audio::channelPause(h, false);
    const double ms = msToSound(recorder, from);
    resume.push_back(ms);
    behindCpu.push_back(cpuOver10s());
    radiolist::audio::channelSeek(h, std::numeric_limits<std::int64_t>::max());
    std::this_thread::sleep_for(2s);
    liveCpu.push_back(cpuOver10s());
    std::printf("| %d | %.0f | %.1f | %.3f | %.0f | %u s | %.3f | %.3f |\n", run,
                static_cast<double>(after.bodyBytes - before.bodyBytes) / 1024,
                static_cast<double>(after.receivedUs - before.receivedUs) / 1e6, pausedCpu.back(),
                ms, delay.delaySeconds, behindCpu.back(), liveCpu.back());
  }
  std::printf(
      "\nmedians: play->sound %.0f ms; CPU per 10 s paused %.3f s, behind %.3f s, live %.3f s\n",
      median(resume), median(pausedCpu), median(behindCpu), median(liveCpu));
  radiolist::audio::shutdownLibrary();
  return 0;
}
