#include "playback/log/log.h"

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
              {"engine", Domain::Engine}};

unsigned enabled() {
  static const unsigned domains = [] {
    const char* value = std::getenv("RADIOLIST_LOG");
    return value == nullptr ? 0u : parseDomains(value);
  }();
  return domains;
}

std::string_view nameOf(Domain domain) {
  for (const auto& n : kNames) {
    if (n.domain == domain) return n.name;
  }
  return "?";
}
}  // namespace

unsigned parseDomains(std::string_view value) {
  unsigned domains = 0;
  while (!value.empty()) {
    const std::size_t comma = value.find(',');
    std::string_view word = value.substr(0, comma);
    while (!word.empty() && word.front() == ' ') word.remove_prefix(1);
    while (!word.empty() && word.back() == ' ') word.remove_suffix(1);
    if (word == "all") domains = ~0u;
    for (const auto& n : kNames) {
      if (word == n.name) domains |= static_cast<unsigned>(n.domain);
    }
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return domains;
}

bool on(Domain domain) { return (enabled() & static_cast<unsigned>(domain)) != 0; }

void line(Domain domain, std::string_view text) {
  static const auto started = std::chrono::steady_clock::now();
  static std::mutex mutex;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::string shown(text);
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  const std::lock_guard lock(mutex);
  std::fprintf(stderr, "radiolist %.3f %.*s: %s\n", seconds,
               static_cast<int>(nameOf(domain).size()), nameOf(domain).data(), shown.c_str());
}

}  // namespace radiolist::log
