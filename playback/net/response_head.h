#pragma once
// Pure pieces of reading a response head: collecting curl's header lines, and the small
// parsers for the values we use. No I/O; not thread-safe.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace radiolist::net {

// Collects the header lines of one response as curl's header callback hands them over (one
// line per call, CR LF included, a bare CR LF ending the head). Each status line starts a new
// response, so the headers of a redirect or of a "100 Continue" never leak into the final one.
class HeaderCollector {
 public:
  struct Limits {
    std::size_t maxTotalBytes = 64 * 1024;  // a real station's head is well under 4 KiB
    std::size_t maxLines = 200;
    std::size_t maxLineBytes = 8 * 1024;
  };
  HeaderCollector() = default;
  explicit HeaderCollector(Limits limits) : limits_(limits) {}

  enum class Result {
    Line,      // a header line was stored (or a status line began a new response)
    HeadEnd,   // the blank line that ends the current response's head
    TooLarge,  // a limit was passed; the head is unusable and stays so
  };
  Result add(std::string_view raw);

  [[nodiscard]] const std::vector<std::string>& lines() const { return lines_; }
  // The status line begins with "ICY".
  [[nodiscard]] bool icy() const;
  // Status code of the current response's status line, 0 when it has none or it is unreadable.
  [[nodiscard]] int statusCode() const;
  // The value of the first header named `name` (case-insensitive), blanks around it trimmed.
  [[nodiscard]] std::optional<std::string> value(std::string_view name) const;
  // Number of responses seen (status lines), e.g. 1 + the redirects followed.
  [[nodiscard]] int responses() const { return responses_; }
  [[nodiscard]] bool tooLarge() const { return tooLarge_; }

 private:
  Limits limits_;
  std::vector<std::string> lines_;
  std::size_t bytes_ = 0;
  int responses_ = 0;
  bool expectStatus_ = true;
  bool tooLarge_ = false;
};

// Status code of a status line ("HTTP/1.1 200 OK", "HTTP/2 404", "ICY 200 OK"); 0 if none.
int parseStatusCode(std::string_view statusLine);

// Largest icy-metaint we honour. Real servers use 8192 to 65536; above 1 MiB a title would
// come less than once every half a minute even at 320 kbit/s, so such a value is a broken
// server rather than a choice, and reading it as "no metadata" is the safer mistake.
inline constexpr long kMaxMetaint = 1 << 20;

// The icy-metaint header value: a decimal count in 1..kMaxMetaint, else 0 (no interleaving).
long parseMetaint(std::optional<std::string_view> value);

// The value of the first header line (after the status line) named `name`, case-insensitive,
// blanks around it trimmed.
std::optional<std::string> headerValue(const std::vector<std::string>& lines,
                                       std::string_view name);

// The first byte position of a Content-Range value ("bytes 100-199/1000"); nullopt when it
// names none.
std::optional<std::uint64_t> parseContentRangeStart(std::optional<std::string_view> value);

// "Audio/MPEG; charset=x" -> "audio/mpeg"; absent or blank -> "".
std::string normaliseContentType(std::optional<std::string_view> value);

}  // namespace radiolist::net
