#include "playback/net/response_head.h"

#include <algorithm>

#include "text/ascii.h"

namespace radiolist::net {
namespace {

std::string_view trimBlanks(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

using text::equalsIgnoringCase;
using text::lower;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

HeaderCollector::Result HeaderCollector::add(std::string_view raw) {
  if (tooLarge_) return Result::TooLarge;
  while (!raw.empty() && (raw.back() == '\n' || raw.back() == '\r')) raw.remove_suffix(1);

  if (raw.empty()) {
    if (expectStatus_) return Result::Line;  // a stray blank line before any status line
    expectStatus_ = true;
    return Result::HeadEnd;
  }
  if (expectStatus_) {
    lines_.clear();
    bytes_ = 0;
    ++responses_;
    expectStatus_ = false;
  }
  if (raw.size() > limits_.maxLineBytes || lines_.size() >= limits_.maxLines ||
      bytes_ + raw.size() > limits_.maxTotalBytes) {
    tooLarge_ = true;
    lines_.clear();
    return Result::TooLarge;
  }
  bytes_ += raw.size();
  lines_.emplace_back(raw);
  return Result::Line;
}

bool HeaderCollector::icy() const { return !lines_.empty() && lines_.front().starts_with("ICY"); }

int HeaderCollector::statusCode() const {
  return lines_.empty() ? 0 : parseStatusCode(lines_.front());
}

std::optional<std::string> HeaderCollector::value(std::string_view name) const {
  return headerValue(lines_, name);
}

std::optional<std::uint64_t> parseContentRangeStart(std::optional<std::string_view> value) {
  if (!value || !equalsIgnoringCase(value->substr(0, 6), "bytes ")) return std::nullopt;
  const std::string_view rest = trimBlanks(value->substr(6));
  std::uint64_t first = 0;
  std::size_t digits = 0;
  // 19 digits always fit in 64 bits.
  for (; digits < rest.size() && digits < 19 && isDigit(rest[digits]); ++digits)
    first = first * 10 + static_cast<unsigned>(rest[digits] - '0');
  if (digits == 0 || digits == rest.size() || rest[digits] != '-') return std::nullopt;
  return first;
}

std::optional<std::string> headerValue(const std::vector<std::string>& lines,
                                       std::string_view name) {
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    if (equalsIgnoringCase(trimBlanks(line.substr(0, colon)), name))
      return std::string(trimBlanks(line.substr(colon + 1)));
  }
  return std::nullopt;
}

int parseStatusCode(std::string_view statusLine) {
  const auto space = statusLine.find(' ');
  if (space == std::string_view::npos) return 0;
  const std::string_view rest = statusLine.substr(space + 1);
  if (rest.size() < 3 || !isDigit(rest[0]) || !isDigit(rest[1]) || !isDigit(rest[2])) return 0;
  if (rest.size() > 3 && rest[3] != ' ') return 0;
  return (rest[0] - '0') * 100 + (rest[1] - '0') * 10 + (rest[2] - '0');
}

long parseMetaint(std::optional<std::string_view> value) {
  if (!value) return 0;
  const std::string_view digits = trimBlanks(*value);
  if (digits.empty()) return 0;
  long result = 0;
  for (const char c : digits) {
    if (!isDigit(c)) return 0;
    result = result * 10 + (c - '0');
    if (result > kMaxMetaint) return 0;  // also keeps the sum from overflowing
  }
  return result;
}

std::string normaliseContentType(std::optional<std::string_view> value) {
  if (!value) return {};
  std::string_view type = *value;
  type = trimBlanks(type.substr(0, type.find(';')));
  std::string result(type);
  std::transform(result.begin(), result.end(), result.begin(), lower);
  return result;
}

}  // namespace radiolist::net
