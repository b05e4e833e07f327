// What sharing the state files between programs costs (state_file.h): taking and letting go of a
// state file's lock, a change of pages.tsv under it against the same read and replacement without
// it, and two programs changing one file at once. Needs no servers (see BENCHMARKS.md, "State
// files").

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "playback/engine/state_file.h"
#include "playback/engine/tsv_file.h"

namespace {

using Clock = std::chrono::steady_clock;
using radiolist::audio::TsvBounds;
using radiolist::audio::TsvEntry;
constexpr TsvBounds kBounds{500, 1024};  // pages.tsv's

double microseconds(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

void update(const std::string& path, const std::string& key) {
  radiolist::audio::updateTsv(path, kBounds, [&](std::vector<TsvEntry>& entries) {
    std::erase_if(entries, [&](const TsvEntry& e) { return e.key == key; });
    entries.push_back({key, key + "/stream"});
  });
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main() {
  char made[] = "/tmp/rl-bench-state-XXXXXX";
  if (::mkdtemp(made) == nullptr) return 1;
  const std::filesystem::path dir = made;
  const std::string path = (dir / "pages.tsv").string();
  constexpr int kRuns = 7, kLocks = 2000, kChanges = 100;
  std::vector<double> lock, locked, unlocked, two;
  for (int run = 0; run < kRuns; ++run) {
    std::filesystem::remove(path);
    auto t = Clock::now();
    for (int i = 0; i < kLocks; ++i)
      if (!radiolist::state::StateLock::take(path).held()) return 1;
    lock.push_back(microseconds(Clock::now() - t) / kLocks);
    t = Clock::now();
    for (int i = 0; i < kChanges; ++i) update(path, "http://p/" + std::to_string(i));
    locked.push_back(microseconds(Clock::now() - t) / kChanges / 1000);
    t = Clock::now();
    for (int i = 0; i < kChanges; ++i) {
      auto entries = radiolist::audio::loadTsv(path, kBounds);
      if (!entries) return 1;
      radiolist::audio::saveTsv(path, *entries);
    }
    unlocked.push_back(microseconds(Clock::now() - t) / kChanges / 1000);
    std::filesystem::remove(path);
    t = Clock::now();
    pid_t programs[2];
    for (int p = 0; p < 2; ++p) {
      if ((programs[p] = ::fork()) == 0) {
        for (int i = 0; i < kChanges; ++i)
          update(path, "http://p" + std::to_string(p) + "/" + std::to_string(i));
        ::_exit(0);
      }
    }
    for (const pid_t program : programs) ::waitpid(program, nullptr, 0);
    two.push_back(microseconds(Clock::now() - t) / 1000);
  }
  std::printf("lock taken and let go:                     %8.1f us\n", median(lock));
  std::printf("change under the lock (100 entries):       %8.2f ms\n", median(locked));
  std::printf("same read and replacement, no lock:        %8.2f ms\n", median(unlocked));
  std::printf("two programs, %d changes each, wall time: %8.0f ms\n", kChanges, median(two));
  std::filesystem::remove_all(dir);
}
