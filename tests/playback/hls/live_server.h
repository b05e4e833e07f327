// tools/hls-live.py for a test: a live HLS stream of a 440 Hz tone on loopback, with the titles
// kTitles taking turns every 2 s, in a directory of its own that goes with the server.
#pragma once

#include <string>
#include <vector>

#include "support/child_process.h"

namespace radiolist::test {

inline const char* const kTitles[] = {"Tester - Title One", "Tester - Title Two"};

class LiveServer {
 public:
  // `extra`: further arguments, e.g. {"--format", "aac", "--key"}. Waits (up to 40 s) for the
  // playlist's address; url() is "" when none came.
  explicit LiveServer(const std::vector<std::string>& extra);
  ~LiveServer();
  LiveServer(const LiveServer&) = delete;
  LiveServer& operator=(const LiveServer&) = delete;

  [[nodiscard]] const std::string& url() const { return url_; }
  // The server's request log so far: "METHOD PATH STATUS USER-AGENT" per line.
  [[nodiscard]] std::vector<std::string> requestLog() const;
  // TCP connections the server accepted so far.
  [[nodiscard]] std::size_t connections() const;

 private:
  std::string dir_;
  radiolist::test::ChildProcess child_;
  std::string url_;
};

}  // namespace radiolist::test
