#pragma once
// Runs tools/teststream.py on a free loopback port for one test, and stops it afterwards.

#include <sys/types.h>

#include <string>
#include <vector>

namespace radiolist::test {

class TestStreamServer {
 public:
  // `args` are teststream.py's flags; "--port 0" is added. With "--tls-cert" url() is https. Fails
  // the calling test (gtest ADD_FAILURE) when the server does not report its port within 10 s;
  // port() is then 0.
  explicit TestStreamServer(std::vector<std::string> args);
  ~TestStreamServer();
  TestStreamServer(const TestStreamServer&) = delete;
  TestStreamServer& operator=(const TestStreamServer&) = delete;

  [[nodiscard]] int port() const { return port_; }
  [[nodiscard]] std::string url(const std::string& path = "/") const;
  // Lines the server logged for each request it received ("REQ <line>", "END").
  [[nodiscard]] std::vector<std::string> requestLog() const;

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  bool tls_ = false;
  std::string logPath_;
};

}  // namespace radiolist::test
