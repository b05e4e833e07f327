// Measures how long each library call takes while the sound server hangs (a private PulseAudio
// stopped with SIGSTOP), and how soon sound comes once it runs again.
//
//   bench_stopped_server [STARTS]     needs RADIOLIST_TEST_SERVERS (plays the Icecast MP3 mount)
//
// Phase "stopped before the first connection": the server is stopped before the library ever
// reached it; STARTS channel starts, 100 ms apart, as the window makes them (free, init, both
// creations, both plays, start), each followed by the calls of the window's polls and a stop. Phase
// "stopped while playing": the same once the output is up and sounding. For each call: the median
// and the longest time over all starts. Then the server runs again, one start, and the time until
// the tone is heard at the sink.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "playback/bass.h"
#include "support/private_pulse.h"
#include "support/signal_analysis.h"
#include "support/sink_recorder.h"
#include "support/test_servers.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Call name -> durations in milliseconds.
using Timings = std::map<std::string, std::vector<double>>;

template <typename F>
auto timed(Timings& timings, const char* name, F call) {
  const auto began = Clock::now();
  auto result = call();
  timings[name].push_back(std::chrono::duration<double, std::milli>(Clock::now() - began).count());
  return result;
}

// A channel start as the window makes it; with `poll`, followed by the polls' calls and a stop.
void windowStart(Timings& t, const std::u16string& url, bool poll) {
  timed(t, "BASS_Free", [] { return BASS_Free(); });
  timed(t, "BASS_Init", [] { return BASS_Init(-1, 44100, 0x80000000u, nullptr, nullptr); });
  const HSTREAM general = timed(t, "BASS_StreamCreateURL", [&] {
    return BASS_StreamCreateURL(url.c_str(), 0, BASS_UNICODE, nullptr, nullptr);
  });
  const HSTREAM aac = timed(t, "BASS_AAC_StreamCreateURL", [&] {
    return BASS_AAC_StreamCreateURL(url.c_str(), 0, BASS_UNICODE, nullptr, nullptr);
  });
  timed(t, "BASS_ChannelPlay", [&] { return BASS_ChannelPlay(general, 1); });
  timed(t, "BASS_ChannelPlay", [&] { return BASS_ChannelPlay(aac, 1); });
  timed(t, "BASS_Start", [] { return BASS_Start(); });
  if (!poll) return;
  timed(t, "BASS_ChannelIsActive", [&] { return BASS_ChannelIsActive(general); });
  timed(t, "BASS_ChannelGetTags", [&] { return BASS_ChannelGetTags(general, BASS_TAG_META); });
  timed(t, "BASS_ChannelStop", [&] { return BASS_ChannelStop(general); });
}

void report(const char* phase, Timings& timings) {
  std::printf("\n%s\n%-26s %10s %10s %6s\n", phase, "call", "median ms", "max ms", "calls");
  for (auto& [name, v] : timings) {
    std::sort(v.begin(), v.end());
    std::printf("%-26s %10.3f %10.3f %6zu\n", name.c_str(), v[v.size() / 2], v.back(), v.size());
  }
}

bool hears440(radiolist::test::SinkRecorder& recorder, std::chrono::milliseconds timeout,
              std::chrono::milliseconds* waited) {
  const auto got = recorder.waitFor(200ms, timeout, [](std::span<const float> s) {
    return radiolist::test::toneShare(s, 440, radiolist::test::SinkRecorder::kSampleRate) > 0.5;
  });
  if (got) *waited = *got;
  return got.has_value();
}

}  // namespace

int main(int argc, char** argv) {
  const int starts = argc > 1 ? std::atoi(argv[1]) : 50;
  std::string why;
  const auto servers = radiolist::test::TestServers::fromEnvironment(&why);
  if (!servers) {
    std::fprintf(stderr, "bench_stopped_server: %s\n", why.c_str());
    return 1;
  }
  radiolist::test::PrivatePulse pulse;
  if (!pulse.error().empty()) {
    std::fprintf(stderr, "bench_stopped_server: %s\n", pulse.error().c_str());
    return 1;
  }
  setenv("PULSE_SERVER", pulse.server().c_str(), 1);
  const std::string address = servers->mp3Url();
  const std::u16string url(address.begin(), address.end());
  radiolist::test::SinkRecorder recorder(pulse.server(), pulse.monitorSource());
  if (const std::string e = recorder.start(); !e.empty()) {
    std::fprintf(stderr, "bench_stopped_server: %s\n", e.c_str());
    return 1;
  }

  const struct {
    const char* name;
  } phases[] = {{"stopped before the first connection"}, {"stopped while playing"}};
  for (const auto& phase : phases) {
    Timings timings;
    pulse.pause();
    for (int i = 0; i < starts; ++i) {
      windowStart(timings, url, true);
      // Spread over several of the output's 1.5 s connection timeouts, so that some inits
      // meet an abandoned connection and start a new one.
      std::this_thread::sleep_for(100ms);
    }
    report(phase.name, timings);
    pulse.resume();
    Timings ignored;
    windowStart(ignored, url, false);
    std::chrono::milliseconds waited{};
    if (!hears440(recorder, 20s, &waited)) {
      std::fprintf(stderr, "bench_stopped_server: no sound after the server ran again\n");
      return 1;
    }
    std::printf("sound %lld ms after the next start once the server ran again\n",
                static_cast<long long>(waited.count()));
  }
  BASS_Free();
  return 0;
}
