#include "playback/log/log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace radiolist::log {

namespace {
constexpr struct {
  std::string_view name;
  Domain domain;
} kNames[] = {{"net", Domain::Net},
              {"decode", Domain::Decode},
              {"output", Domain::Output},
              {"engine", Domain::Engine},
              {"desktop", Domain::Desktop}};

constexpr std::string_view kLevelNames[] = {"error", "warning", "info", "debug"};

unsigned indexOf(Domain domain) {
  unsigned i = 0;
  for (auto d = static_cast<unsigned>(domain); d > 1; d >>= 1) ++i;
  return i;
}

// Four bits per domain, one per level.
unsigned bit(Domain domain, Level level) {
  return 1u << (indexOf(domain) * 4 + static_cast<unsigned>(level));
}

// Every level of `domain` up to `most`.
unsigned upTo(Domain domain, Level most) {
  unsigned bits = 0;
  for (unsigned l = 0; l <= static_cast<unsigned>(most); ++l)
    bits |= bit(domain, static_cast<Level>(l));
  return bits;
}

Verbosity enabled() {
  static const Verbosity verbosity = [] {
    const char* value = std::getenv("RADIOLIST_LOG");
    return parseVerbosity(value == nullptr ? "" : value);
  }();
  return verbosity;
}

std::string_view nameOf(Domain domain) {
  for (const auto& n : kNames) {
    if (n.domain == domain) return n.name;
  }
  return "?";
}

std::string_view trimmed(std::string_view word) {
  while (!word.empty() && word.front() == ' ') word.remove_prefix(1);
  while (!word.empty() && word.back() == ' ') word.remove_suffix(1);
  return word;
}
}  // namespace

bool Verbosity::shows(Domain domain, Level level) const {
  return level <= Level::Warning || (bits & bit(domain, level)) != 0;
}

Verbosity parseVerbosity(std::string_view value) {
  Verbosity v;
  while (!value.empty()) {
    const std::size_t comma = value.find(',');
    const std::string_view item = value.substr(0, comma);
    const std::size_t colon = item.find(':');
    const std::string_view word = trimmed(item.substr(0, colon));
    Level most = Level::Debug;
    bool known = colon == std::string_view::npos;
    if (!known) {
      const std::string_view level = trimmed(item.substr(colon + 1));
      for (unsigned l = 0; l < std::size(kLevelNames); ++l) {
        if (level == kLevelNames[l]) {
          most = static_cast<Level>(l);
          known = true;
        }
      }
    }
    for (const auto& n : kNames) {
      if (known && (word == "all" || word == n.name)) v.bits |= upTo(n.domain, most);
    }
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return v;
}

unsigned parseDomains(std::string_view value) {
  const Verbosity v = parseVerbosity(value);
  unsigned domains = 0;
  for (const auto& n : kNames) {
    if (v.shows(n.domain, Level::Info)) domains |= static_cast<unsigned>(n.domain);
  }
  return domains;
}

bool on(Domain domain, Level level) { return enabled().shows(domain, level); }

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
  std::string where(nameOf(domain));
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
