#include "playback/net/curl_handles.h"

#include <gtest/gtest.h>

#include <string>

namespace radiolist::net::curl {
namespace {

TEST(CurlHandles, AFailedCallIsToldByNameAndReportedFalse) {
  Easy easy = Easy::create();
  ASSERT_TRUE(easy.valid());
  testing::internal::CaptureStderr();
  EXPECT_TRUE(easy.set(CURLOPT_URL, "http://radio.test/"));
  EXPECT_FALSE(easy.set(CURLOPT_HTTP_VERSION, 1000L));
  EXPECT_FALSE(easy.set(CURLOPT_PROTOCOLS_STR, "gopher-over-pigeons"));
  const std::string told = testing::internal::GetCapturedStderr();
  EXPECT_NE(told.find("net warning: curl_easy_setopt(CURLOPT_HTTP_VERSION) failed: "),
            std::string::npos)
      << told;
  EXPECT_NE(told.find("curl_easy_setopt(CURLOPT_PROTOCOLS_STR) failed: "), std::string::npos);
  EXPECT_EQ(told.find("CURLOPT_URL"), std::string::npos);

  Easy moved = std::move(easy);  // one owner: the handle is cleaned up once (ASan checks)
  EXPECT_TRUE(moved.valid());
  EXPECT_FALSE(easy.valid());  // NOLINT(bugprone-use-after-move): moved-from is empty
}

}  // namespace
}  // namespace radiolist::net::curl
