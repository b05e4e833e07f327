#pragma once
// Diagnostic lines of the audio library and of the program above it, by domain and level, on
// stderr. Errors and warnings are always written. Info and debug lines only for the domains the
// environment variable RADIOLIST_LOG names: a comma-separated list of net, decode, output,
// engine, desktop or "all", each optionally with the most detailed level it shows
// ("net:info", "all:debug"); a bare name shows every level. Read once, at the first line asked
// for.
//
// A line is formatted and written whole under a lock: never log from the output's write
// callback. Control bytes (a server's header, a curl message) are shown as '?', so a stream
// cannot send escape sequences to the terminal.

#include <sstream>
#include <string_view>

namespace radiolist::log {

enum class Domain : unsigned { Net = 1, Decode = 2, Output = 4, Engine = 8, Desktop = 16 };
inline constexpr unsigned kDomainCount = 5;

// From the most to the least severe.
enum class Level : unsigned { Error, Warning, Info, Debug };

// What a RADIOLIST_LOG value shows: one bit per (domain, level), Error and Warning always on;
// unknown names and levels are ignored. Pure.
struct Verbosity {
  unsigned bits = 0;
  [[nodiscard]] bool shows(Domain domain, Level level) const;
};
[[nodiscard]] Verbosity parseVerbosity(std::string_view value);
// The domains whose info lines a value shows (a bit per Domain).
[[nodiscard]] unsigned parseDomains(std::string_view value);

[[nodiscard]] bool on(Domain domain, Level level = Level::Info);
void line(Domain domain, Level level, std::string_view text);

// Where lines go: stderr, unless a test puts a sink of its own here (nullptr: stderr again). The
// sink gets each line's text, control bytes already shown as '?', under the log's lock.
using Sink = void (*)(Domain domain, Level level, std::string_view text);
void setSink(Sink sink);

// One line of the parts, streamed with <<, when the domain shows the level; costs a load and a
// test when it does not.
template <typename... Parts>
void at(Level level, Domain domain, const Parts&... parts) {
  if (!on(domain, level)) return;
  std::ostringstream text;
  (text << ... << parts);
  line(domain, level, text.str());
}

template <typename... Parts>
void error(Domain domain, const Parts&... parts) {
  at(Level::Error, domain, parts...);
}
template <typename... Parts>
void warning(Domain domain, const Parts&... parts) {
  at(Level::Warning, domain, parts...);
}
// What a domain's diagnostics say by default: connections, choices made, how things ended.
template <typename... Parts>
void write(Domain domain, const Parts&... parts) {
  at(Level::Info, domain, parts...);
}
template <typename... Parts>
void debug(Domain domain, const Parts&... parts) {
  at(Level::Debug, domain, parts...);
}

}  // namespace radiolist::log
