#include "live_server.h"

#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

namespace radiolist::test {

namespace {

std::string makeDir() {
  char pattern[] = "/tmp/rl-hls-XXXXXX";
  const char* made = ::mkdtemp(pattern);
  return made != nullptr ? made : "/tmp";
}

radiolist::test::ChildProcess::Options options(const std::string& dir,
                                               const std::vector<std::string>& extra) {
  radiolist::test::ChildProcess::Options o;
  o.argv = {"python3", RL_HLS_LIVE_PY, "--dir",    dir,       "--title-every",
            "2",       "--title",      kTitles[0], "--title", kTitles[1]};
  o.argv.insert(o.argv.end(), extra.begin(), extra.end());
  o.captureStdout = true;
  return o;
}

}  // namespace

LiveServer::LiveServer(const std::vector<std::string>& extra)
    : dir_(makeDir()), child_(options(dir_, extra)) {
  using namespace std::chrono_literals;
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + 40s;
  while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd p{child_.stdoutFd(), POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buf[256];
    const ssize_t n = ::read(child_.stdoutFd(), buf, sizeof buf);
    if (n > 0) line.append(buf, static_cast<std::size_t>(n));
    if (n == 0) break;
  }
  url_ = line.substr(0, line.find('\n'));
}

LiveServer::~LiveServer() {
  child_.terminate();
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::vector<std::string> LiveServer::requestLog() const {
  std::ifstream in(dir_ + "/www/requests.log");
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

std::size_t LiveServer::connections() const {
  std::ifstream in(dir_ + "/www/connections.log");
  std::size_t n = 0;
  for (std::string l; std::getline(in, l);) ++n;
  return n;
}

}  // namespace radiolist::test
