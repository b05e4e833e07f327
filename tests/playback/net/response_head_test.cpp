#include "playback/net/response_head.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace radiolist::net {
namespace {

using Result = HeaderCollector::Result;

std::vector<Result> feed(HeaderCollector& c, const std::vector<std::string>& lines) {
  std::vector<Result> results;
  for (const auto& line : lines) results.push_back(c.add(line));
  return results;
}

TEST(HeaderCollector, StoresLinesWithoutLineEndsStatusFirst) {
  HeaderCollector c;
  const auto results =
      feed(c, {"ICY 200 OK\r\n", "icy-name: Radio  \r\n", "content-type:audio/aacp\n", "\r\n"});
  EXPECT_EQ(results, (std::vector{Result::Line, Result::Line, Result::Line, Result::HeadEnd}));
  EXPECT_EQ(c.lines(), (std::vector<std::string>{"ICY 200 OK", "icy-name: Radio  ",
                                                 "content-type:audio/aacp"}));
  EXPECT_TRUE(c.icy());
  EXPECT_EQ(c.statusCode(), 200);
  EXPECT_EQ(c.value("ICY-NAME"), "Radio");
  EXPECT_EQ(c.value("Content-Type"), "audio/aacp");
  EXPECT_FALSE(c.value("icy-metaint"));
}

TEST(HeaderCollector, EachStatusLineStartsAFreshResponse) {
  HeaderCollector c;
  feed(c, {"HTTP/1.1 302 Found\r\n", "Location: /b\r\n", "icy-name: Redirector\r\n", "\r\n",
           "HTTP/1.1 100 Continue\r\n", "\r\n", "HTTP/1.0 200 OK\r\n",
           "Content-Type: audio/mpeg\r\n", "\r\n"});
  EXPECT_EQ(c.lines(), (std::vector<std::string>{"HTTP/1.0 200 OK", "Content-Type: audio/mpeg"}));
  EXPECT_FALSE(c.icy());
  EXPECT_FALSE(c.value("icy-name"));
  EXPECT_FALSE(c.value("location"));
  EXPECT_EQ(c.responses(), 3);
}

TEST(HeaderCollector, OnlyTheStatusLineDecidesIcy) {
  HeaderCollector http;
  feed(http, {"HTTP/1.0 200 OK\r\n", "ICY-ish: no\r\n"});
  EXPECT_FALSE(http.icy());
  HeaderCollector none;
  EXPECT_FALSE(none.icy());
  EXPECT_EQ(none.statusCode(), 0);
}

TEST(HeaderCollector, RefusesLongLinesManyLinesAndLargeHeads) {
  HeaderCollector longLine({.maxTotalBytes = 1000, .maxLines = 10, .maxLineBytes = 50});
  EXPECT_EQ(longLine.add("HTTP/1.0 200 OK\r\n"), Result::Line);
  EXPECT_EQ(longLine.add("X: " + std::string(47, 'a') + "\r\n"), Result::Line)
      << "exactly the line cap";
  EXPECT_EQ(longLine.add("X: " + std::string(48, 'a') + "\r\n"), Result::TooLarge);
  EXPECT_EQ(longLine.add("\r\n"), Result::TooLarge) << "stays refused";
  EXPECT_TRUE(longLine.lines().empty());
  EXPECT_TRUE(longLine.tooLarge());

  HeaderCollector manyLines({.maxTotalBytes = 1000, .maxLines = 10, .maxLineBytes = 50});
  for (int i = 0; i < 10; ++i) ASSERT_EQ(manyLines.add("X: y\r\n"), Result::Line);
  EXPECT_EQ(manyLines.add("X: y\r\n"), Result::TooLarge);

  HeaderCollector bigHead({.maxTotalBytes = 100, .maxLines = 10, .maxLineBytes = 50});
  EXPECT_EQ(bigHead.add(std::string(50, 'h')), Result::Line);
  EXPECT_EQ(bigHead.add(std::string(50, 'h')), Result::Line);
  EXPECT_EQ(bigHead.add("X"), Result::TooLarge);
}

TEST(HeaderCollector, RedirectHeadsDoNotCountTowardsTheFinalHeadsLimits) {
  HeaderCollector c({.maxTotalBytes = 100, .maxLines = 3, .maxLineBytes = 50});
  for (int hop = 0; hop < 20; ++hop) {
    ASSERT_EQ(c.add("HTTP/1.1 302 Found\r\n"), Result::Line);
    ASSERT_EQ(c.add("Location: /next\r\n"), Result::Line);
    ASSERT_EQ(c.add("\r\n"), Result::HeadEnd);
  }
  EXPECT_EQ(c.add("ICY 200 OK\r\n"), Result::Line);
}

TEST(HeaderCollector, DefaultLimitsMatchTheDocumentedCaps) {
  HeaderCollector c;
  c.add("HTTP/1.0 200 OK\r\n");
  EXPECT_EQ(c.add("X: " + std::string(8 * 1024 - 3, 'a')), Result::Line);
  EXPECT_EQ(c.add("X: " + std::string(8 * 1024 - 2, 'a')), Result::TooLarge);
  HeaderCollector lines;
  for (int i = 0; i < 200; ++i) ASSERT_EQ(lines.add("X: y\r\n"), Result::Line);
  EXPECT_EQ(lines.add("X: y\r\n"), Result::TooLarge);
}

TEST(ParseStatusCode, ReadsHttpAndIcyStatusLines) {
  EXPECT_EQ(parseStatusCode("HTTP/1.1 200 OK"), 200);
  EXPECT_EQ(parseStatusCode("HTTP/2 404"), 404);
  EXPECT_EQ(parseStatusCode("ICY 200 OK"), 200);
  EXPECT_EQ(parseStatusCode("ICY 401 Service Unavailable"), 401);
  EXPECT_EQ(parseStatusCode("HTTP/1.0 2000 OK"), 0);
  EXPECT_EQ(parseStatusCode("HTTP/1.0 2x0 OK"), 0);
  EXPECT_EQ(parseStatusCode("garbage"), 0);
  EXPECT_EQ(parseStatusCode(""), 0);
}

TEST(ParseMetaint, AcceptsOnlySaneDecimalCounts) {
  EXPECT_EQ(parseMetaint("16000"), 16000);
  EXPECT_EQ(parseMetaint(" 8192 "), 8192);
  EXPECT_EQ(parseMetaint("1"), 1);
  EXPECT_EQ(parseMetaint("1048576"), 1048576);
  EXPECT_EQ(parseMetaint("1048577"), 0);
  EXPECT_EQ(parseMetaint("2147483648"), 0);
  EXPECT_EQ(parseMetaint("99999999999999999999999999"), 0);
  EXPECT_EQ(parseMetaint("0"), 0);
  EXPECT_EQ(parseMetaint("-16000"), 0);
  EXPECT_EQ(parseMetaint("+16000"), 0);
  EXPECT_EQ(parseMetaint("abc"), 0);
  EXPECT_EQ(parseMetaint("16000abc"), 0);
  EXPECT_EQ(parseMetaint("16 000"), 0);
  EXPECT_EQ(parseMetaint(""), 0);
  EXPECT_EQ(parseMetaint(std::nullopt), 0);
}

TEST(NormaliseContentType, LowerCasesAndDropsParameters) {
  EXPECT_EQ(normaliseContentType("Audio/MPEG"), "audio/mpeg");
  EXPECT_EQ(normaliseContentType(" audio/aacp ; charset=utf-8"), "audio/aacp");
  EXPECT_EQ(normaliseContentType("application/ogg;"), "application/ogg");
  EXPECT_EQ(normaliseContentType(""), "");
  EXPECT_EQ(normaliseContentType("  "), "");
  EXPECT_EQ(normaliseContentType(std::nullopt), "");
}

}  // namespace
}  // namespace radiolist::net
