#pragma once
// What tools/directory-server.py says on its stdout once it listens: "PORT n", then
// "UUID <uuid> <name>" for each station added with --station. Shared by the directory client's
// tests and the program's end-to-end tests, which start it each in their own way.

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace radiolist::test {

struct DirectoryAnnouncement {
  int port = 0;
  std::vector<std::string> uuids;
  std::string text;  // as read, for a failure's message
};

// Reads `child`'s announcement of `added` stations (at most 30 s: a bound for a loaded machine).
inline DirectoryAnnouncement readDirectoryAnnouncement(const ChildProcess& child,
                                                       std::size_t added) {
  DirectoryAnnouncement heard;
  std::string& out = heard.text;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::count(out.begin(), out.end(), '\n') < static_cast<long>(1 + added) &&
         std::chrono::steady_clock::now() < end) {
    pollfd pfd{child.stdoutFd(), POLLIN, 0};
    if (::poll(&pfd, 1, 1000) <= 0) continue;
    char buf[4096];
    const ssize_t n = ::read(child.stdoutFd(), buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  std::istringstream lines(out);
  for (std::string word; lines >> word;) {
    if (word == "PORT") lines >> heard.port;
    if (word == "UUID") {
      std::string uuid;
      lines >> uuid;
      heard.uuids.push_back(uuid);
      std::getline(lines, word);
    }
  }
  return heard;
}

}  // namespace radiolist::test
