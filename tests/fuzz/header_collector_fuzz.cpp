// Header lines as curl hands them over (split after each LF), with whatever bytes a server
// sends. The collector must stay within its caps and its lookups must never misbehave.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "playback/net/response_head.h"
#include "playback/net/url_check.h"

using namespace radiolist::net;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const HeaderCollector::Limits limits{.maxTotalBytes = 4096, .maxLines = 20, .maxLineBytes = 512};
  HeaderCollector c(limits);
  for (std::string_view rest = input; !rest.empty();) {
    const auto end = rest.find('\n');
    const std::size_t n = end == std::string_view::npos ? rest.size() : end + 1;
    const auto result = c.add(rest.substr(0, n));
    rest.remove_prefix(n);

    std::size_t total = 0;
    for (const auto& line : c.lines()) {
      if (line.empty() || line.size() > limits.maxLineBytes) std::abort();
      if (line.back() == '\n' || line.back() == '\r') std::abort();
      total += line.size();
    }
    if (c.lines().size() > limits.maxLines || total > limits.maxTotalBytes) std::abort();
    if (result == HeaderCollector::Result::TooLarge && !c.lines().empty()) std::abort();

    const int status = c.statusCode();
    if (status != 0 && (status < 0 || status > 999)) std::abort();
    const long metaint = parseMetaint(c.value("icy-metaint"));
    if (metaint < 0 || metaint > kMaxMetaint) std::abort();
    const std::string type = normaliseContentType(c.value("content-type"));
    if (type.find(';') != std::string::npos) std::abort();
    (void)c.icy();
  }
  (void)isPlausibleStreamUrl(input);
  return 0;
}
