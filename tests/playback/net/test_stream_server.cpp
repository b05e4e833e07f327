#include "test_stream_server.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace radiolist::test {

TestStreamServer::TestStreamServer(std::vector<std::string> args) {
  tls_ = std::find(args.begin(), args.end(), "--tls-cert") != args.end();
  char logTemplate[] = "/tmp/rl-teststream-XXXXXX";
  const int logFd = mkstemp(logTemplate);
  if (logFd >= 0) {
    close(logFd);
    logPath_ = logTemplate;
  }
  args.insert(args.begin(), {"python3", RL_TESTSTREAM_PY, "--port", "0", "--log", logPath_});
  int out[2];
  if (pipe(out) != 0) {
    ADD_FAILURE() << "pipe failed";
    return;
  }
  // Built before fork: the child of a threaded process may only make async-signal-safe calls.
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    // The server dies with the test, even a crashed one, and inherits none of its descriptors
    // (a death test's pipe held open by a server would keep gtest waiting for ever).
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    dup2(out[1], STDOUT_FILENO);
    close_range(3, ~0U, 0);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  std::string line;
  pollfd pfd{out[0], POLLIN, 0};
  while (line.find('\n') == std::string::npos && poll(&pfd, 1, 10000) > 0) {
    char buf[64];
    const ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    line.append(buf, static_cast<std::size_t>(n));
  }
  close(out[0]);
  if (std::sscanf(line.c_str(), "PORT %d", &port_) != 1) {
    port_ = 0;
    ADD_FAILURE() << "teststream.py did not report a port: " << line;
  }
}

TestStreamServer::~TestStreamServer() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (!logPath_.empty()) std::remove(logPath_.c_str());
}

std::string TestStreamServer::url(const std::string& path) const {
  return (tls_ ? "https" : "http") + std::string("://127.0.0.1:") + std::to_string(port_) + path;
}

std::vector<std::string> TestStreamServer::requestLog() const {
  std::vector<std::string> lines;
  std::ifstream in(logPath_);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace radiolist::test
