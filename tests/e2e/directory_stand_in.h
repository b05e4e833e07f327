#pragma once
// What the directory's end-to-end tests share: a stand-in mirror (tools/directory-server.py) on
// loopback, and calls to the program's own bus interface.

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/directory_announcement.h"
#include "tests/e2e/bus_program.h"

namespace radiolist::test::e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

inline std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// One stand-in mirror: its port, the uuids of the stations given with --station, and its log of
// requests (request line, tab, User-Agent).
class StandIn {
 public:
  StandIn(const fs::path& log, std::vector<std::string> args) : log_(log) {
    std::vector<std::string> argv = {
        "python3",   RL_DIRECTORY_SERVER_PY, "--port", "0", "--stations", "2000", "--log",
        log.string()};
    const auto added = static_cast<long>(std::count(args.begin(), args.end(), "--station"));
    expectedUuids_ = added;
    argv.insert(argv.end(), args.begin(), args.end());
    child_ = std::make_unique<ChildProcess>(ChildProcess::Options{argv, {}, true});
    DirectoryAnnouncement heard =
        readDirectoryAnnouncement(*child_, static_cast<std::size_t>(added));
    port_ = heard.port;
    uuids_ = std::move(heard.uuids);
  }
  ~StandIn() { child_->terminate(); }

  [[nodiscard]] bool started() const {
    return port_ != 0 && uuids_.size() == static_cast<std::size_t>(expectedUuids_);
  }
  [[nodiscard]] std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  [[nodiscard]] const std::vector<std::string>& uuids() const { return uuids_; }
  [[nodiscard]] std::vector<std::string> requests() const {
    std::vector<std::string> out;
    std::ifstream in(log_);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }
  // Waits (at most 10 s: a bound for a loaded machine, not a figure) for a request holding `part`.
  [[nodiscard]] bool waitForRequest(const std::string& part) const {
    for (int i = 0; i < 200; ++i) {
      for (const std::string& line : requests())
        if (line.find(part) != std::string::npos) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }

 private:
  fs::path log_;
  std::unique_ptr<ChildProcess> child_;
  int port_ = 0;
  long expectedUuids_ = 0;
  std::vector<std::string> uuids_;
};

}  // namespace radiolist::test::e2e
