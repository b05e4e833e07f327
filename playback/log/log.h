#pragma once
// Diagnostic lines of the audio library and of the program above it, by domain and level, on
// stderr. Each module defines its own domain, a name and a bit of its own (net/log_domain.h,
// engine/log_domains.h, the program's "desktop" in app/); this file lists none. Errors and
// warnings are always written. Info and debug lines only for the domains the environment
// variable RADIOLIST_LOG names: a comma-separated list of domain names or "all", each optionally
// with the most detailed level it shows ("net:info", "all:debug"); a bare name shows every
// level. Read once, at the first line asked for; what it says of a domain is kept by its bit.
//
// A line is formatted and written whole under a lock: never log from the output's write
// callback. Control bytes (a server's header, a curl message) are shown as '?', so a stream
// cannot send escape sequences to the terminal.

#include <sstream>
#include <string>
#include <string_view>

namespace radiolist::log {

// Domains a process may have: each takes a bit below this.
inline constexpr unsigned kMaxDomains = 16;

// A module's domain: `static constexpr Domain netDomain{"net", 0}`. The bit is the module's
// choice, one no other module of the process takes.
class Domain {
 public:
  consteval Domain(std::string_view name, unsigned bit) : name_(name), bit_(bit) {
    if (bit >= kMaxDomains || name.empty())
      throw "a domain needs a name and a bit below kMaxDomains";
  }
  [[nodiscard]] constexpr std::string_view name() const { return name_; }
  [[nodiscard]] constexpr unsigned bit() const { return bit_; }
  friend constexpr bool operator==(const Domain&, const Domain&) = default;

 private:
  std::string_view name_;
  unsigned bit_;
};

// From the most to the least severe.
enum class Level : unsigned { Error, Warning, Info, Debug };

// What a RADIOLIST_LOG value shows, Error and Warning always; unknown names and levels are
// ignored. Pure.
struct Verbosity {
  std::string value;  // at most kLongestValue bytes of it
  [[nodiscard]] bool shows(Domain domain, Level level) const;
};
inline constexpr std::size_t kLongestValue = 1024;
[[nodiscard]] Verbosity parseVerbosity(std::string_view value);

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
