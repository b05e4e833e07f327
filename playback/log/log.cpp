#include "playback/log/log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace radiolist::log {

namespace {
constexpr std::string_view kLevelNames[] = {"error", "warning", "info", "debug"};

const Verbosity& enabled() {
  static const Verbosity verbosity = [] {
    const char* value = std::getenv("RADIOLIST_LOG");
    return parseVerbosity(value == nullptr ? "" : value);
  }();
  return verbosity;
}

std::string_view trimmed(std::string_view word) {
  while (!word.empty() && word.front() == ' ') word.remove_prefix(1);
  while (!word.empty() && word.back() == ' ') word.remove_suffix(1);
  return word;
}

// What RADIOLIST_LOG says of each domain, by its bit: a bit per level shown, and kLooked once it
// has been read there, so that a line not shown costs a load and a test.
constexpr unsigned kLooked = 1u << 8;
std::atomic<unsigned> gShown[kMaxDomains];
}  // namespace

bool Verbosity::shows(Domain domain, Level level) const {
  if (level <= Level::Warning) return true;
  std::string_view rest = value;
  while (!rest.empty()) {
    const std::size_t comma = rest.find(',');
    const std::string_view item = rest.substr(0, comma);
    const std::size_t colon = item.find(':');
    const std::string_view word = trimmed(item.substr(0, colon));
    bool known = colon == std::string_view::npos;
    Level most = Level::Debug;
    if (!known) {
      const std::string_view name = trimmed(item.substr(colon + 1));
      for (unsigned l = 0; l < std::size(kLevelNames); ++l) {
        if (name == kLevelNames[l]) {
          most = static_cast<Level>(l);
          known = true;
        }
      }
    }
    if (known && (word == "all" || word == domain.name()) && level <= most) return true;
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return false;
}

Verbosity parseVerbosity(std::string_view value) {
  return Verbosity{std::string(value.substr(0, kLongestValue))};
}

bool on(Domain domain, Level level) {
  if (level <= Level::Warning) return true;
  std::atomic<unsigned>& slot = gShown[domain.bit()];
  unsigned shown = slot.load(std::memory_order_relaxed);
  if (shown == 0) {
    shown = kLooked;
    for (unsigned l = 0; l < std::size(kLevelNames); ++l) {
      if (enabled().shows(domain, static_cast<Level>(l))) shown |= 1u << l;
    }
    slot.store(shown, std::memory_order_relaxed);
  }
  return (shown & (1u << static_cast<unsigned>(level))) != 0;
}

namespace {
std::atomic<Sink> gSink{nullptr};
}  // namespace

void setSink(Sink sink) { gSink.store(sink); }

void line(Domain domain, Level level, std::string_view text) {
  static const auto started = std::chrono::steady_clock::now();
  static std::mutex mutex;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::string shown(text);
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  // Info and debug lines look as they always did; the others say what they are.
  std::string where(domain.name());
  if (level <= Level::Warning)
    where += ' ' + std::string(kLevelNames[static_cast<unsigned>(level)]);
  const std::lock_guard lock(mutex);
  if (const Sink sink = gSink.load()) {
    sink(domain, level, shown);
    return;
  }
  std::fprintf(stderr, "radiolist %.3f %s: %s\n", seconds, where.c_str(), shown.c_str());
}

}  // namespace radiolist::log
