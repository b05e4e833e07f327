// The decoder thread's CPU with and without levelling: 120 s of pink noise as a 128 kbit/s MP3,
// decoded as a stream is (the same demuxer, decoder and resampler) into a voice's ring that a
// second thread empties; CPU is the decoding thread's own (CLOCK_THREAD_CPUTIME_ID).
//
//   bench_loudness [RUNS]     prints, per mode, the median CPU seconds per minute of audio
//
// Modes: "plain" (no meter at all, as before levelling), "meter only" (levelling switched off:
// measured, delayed, not changed), "levelling" (meter, gain and limiter).
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <stop_token>
#include <thread>
#include <vector>

#include "playback/engine/decoder.h"
#include "playback/engine/fake_stream.h"
#include "playback/engine/loudness.h"

namespace {

using namespace radiolist;

double threadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// CPU seconds of one decode of `body`; `mode` 0 plain, 1 meter only, 2 levelling.
double decodeOnce(const std::vector<std::byte>& body, int mode, std::size_t& frames) {
  audio::Voice voice(1 << 16);
  std::atomic<bool> done{false};
  std::jthread drain([&] {
    std::vector<audio::StereoFrame> sink(4096);
    while (!done.load()) {
      if (voice.ring.read(sink) == 0) std::this_thread::yield();
    }
  });
  test::FakeStream stream(test::FakeStream::served(body));
  std::stop_source stop;
  audio::Feed feed(stream, stop.get_token());
  audio::Leveller leveller(std::nullopt);
  const std::atomic<bool> on{mode == 2};
  audio::DecodeHooks hooks;
  if (mode > 0) {
    hooks.level = &leveller;
    hooks.levelOn = &on;
  }
  const double began = threadCpuSeconds();
  frames = audio::decodeConnection(feed, "audio/mpeg", voice, stop.get_token(), hooks).framesOut;
  const double cpu = threadCpuSeconds() - began;
  done.store(true);
  return cpu;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const auto body = test::readFile(RL_BENCH_PINK_MP3);
  if (body.empty()) {
    std::fprintf(stderr, "no %s\n", RL_BENCH_PINK_MP3);
    return 1;
  }
  const char* names[] = {"plain", "meter only", "levelling"};
  std::vector<std::vector<double>> cpu(3);
  std::size_t frames = 0;
  for (int run = 0; run < runs; ++run) {
    for (int mode = 0; mode < 3; ++mode) cpu[mode].push_back(decodeOnce(body, mode, frames));
  }
  const double minutes = static_cast<double>(frames) / audio::kOutputRate / 60.0;
  double plain = 0;
  for (int mode = 0; mode < 3; ++mode) {
    std::sort(cpu[mode].begin(), cpu[mode].end());
    const double median = cpu[mode][cpu[mode].size() / 2] / minutes;
    if (mode == 0) plain = median;
    std::printf("%-11s %.3f CPU s per audio minute (%+.1f %%), runs %d\n", names[mode], median,
                100.0 * (median / plain - 1.0), runs);
  }
  return 0;
}
