#include "playback/net/url_check.h"

#include <gtest/gtest.h>

#include <string>

namespace radiolist::net {
namespace {

TEST(IsPlausibleStreamUrl, AcceptsHttpAndHttpsAddresses) {
  for (const char* url :
       {"http://example.com", "http://example.com/", "HTTP://Example.COM:8000/live.mp3",
        "https://stream.example.org/a?b=c#d", "http://127.0.0.1:18000/a.mp3",
        "http://user:pw@host/x", "http://[::1]:8000/", "http://[fe80::1]", "http://host:/x",
        "http://radio.xn--p1ai/", "http://host?x=1"}) {
    EXPECT_TRUE(isPlausibleStreamUrl(url)) << url;
  }
}

TEST(IsPlausibleStreamUrl, RejectsWhatCannotBeAStream) {
  for (const char* url : {"",
                          "http://",
                          "https://",
                          "http:///path",
                          "http://:8000/",
                          "http://@/",
                          "ftp://example.com/a.mp3",
                          "file:///etc/passwd",
                          "mms://host/x",
                          "example.com/x",
                          "http:/example.com",
                          "http//example.com",
                          "http://exa mple.com/",
                          "http://example.com/a b",
                          "http://host\t/",
                          "http://host:0/",
                          "http://host:65536/",
                          "http://host:80a/",
                          "http://[::1/",
                          "http://[]/",
                          "http://[zz]/",
                          "http://ho/st\x01",
                          " http://host/",
                          "http://host/\x7f"}) {
    EXPECT_FALSE(isPlausibleStreamUrl(url)) << url;
  }
}

TEST(IsPlausibleStreamUrl, RejectsOverlongAddressesAtOnce) {
  std::string url = "http://example.com/";
  url.resize(kMaxUrlBytes, 'a');
  EXPECT_TRUE(isPlausibleStreamUrl(url));
  url.resize(100'000, 'a');
  EXPECT_FALSE(isPlausibleStreamUrl(url));
}

}  // namespace
}  // namespace radiolist::net
