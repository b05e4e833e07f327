#pragma once
// Diagnostic lines of the audio library, by domain, on stderr. Off unless the environment
// variable RADIOLIST_LOG names the domain: a comma-separated list of net, decode, output, engine,
// or "all". Read once, at the first line asked for.
//
// A line is formatted and written whole under a lock: never log from the output's write
// callback. Control bytes (a server's header, a curl message) are shown as '?', so a stream
// cannot send escape sequences to the terminal.

#include <sstream>
#include <string_view>

namespace radiolist::log {

enum class Domain : unsigned { Net = 1, Decode = 2, Output = 4, Engine = 8 };

// The set of domains a RADIOLIST_LOG value switches on (a bit per Domain); unknown names are
// ignored. Pure.
[[nodiscard]] unsigned parseDomains(std::string_view value);

[[nodiscard]] bool on(Domain domain);
void line(Domain domain, std::string_view text);

// One line of the parts, streamed with <<, when the domain is on; costs a load and a test when
// it is off.
template <typename... Parts>
void write(Domain domain, const Parts&... parts) {
  if (!on(domain)) return;
  std::ostringstream text;
  (text << ... << parts);
  line(domain, text.str());
}

}  // namespace radiolist::log
