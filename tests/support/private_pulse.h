// A PulseAudio daemon of one test's own, with a null sink as its default sink, which the test
// may stop (SIGSTOP) and continue like a hung sound server. The destructor ends it.
#pragma once

#include <memory>
#include <string>

#include "support/child_process.h"

namespace radiolist::test {

class PrivatePulse {
 public:
  static constexpr const char* kSink = "rl_private";

  // Starts the daemon and waits (up to 15 s) until it answers. Never throws: error() says
  // why it is not usable.
  PrivatePulse();
  ~PrivatePulse();
  PrivatePulse(const PrivatePulse&) = delete;
  PrivatePulse& operator=(const PrivatePulse&) = delete;

  [[nodiscard]] const std::string& error() const { return error_; }  // "" when it runs
  // As in PULSE_SERVER: "unix:<dir>/native".
  [[nodiscard]] std::string server() const { return "unix:" + dir_ + "/native"; }
  [[nodiscard]] std::string monitorSource() const { return std::string(kSink) + ".monitor"; }

  // The daemon stops answering (its connections stay open) until resume().
  void pause();
  void resume();

 private:
  std::string dir_;
  std::unique_ptr<ChildProcess> daemon_;
  std::string error_;
};

}  // namespace radiolist::test
