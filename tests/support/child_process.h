// A child process for tests: spawned with posix_spawnp (safe in a process that already runs
// threads), optionally with its stdout on a pipe, killed and reaped by the destructor.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace radiolist::test {

class ChildProcess {
 public:
  struct Options {
    std::vector<std::string> argv{};  // argv[0] is looked up in PATH
    // Added to (or replacing in) this process's environment for the child.
    std::vector<std::pair<std::string, std::string>> env{};
    // Whether the child's stdout goes to a pipe (stdoutFd()) instead of ours. Its stderr
    // is always ours, so its complaints land in the test log.
    bool captureStdout = false;
  };

  // Throws std::runtime_error when the program cannot be started.
  explicit ChildProcess(const Options& options);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  [[nodiscard]] pid_t pid() const { return pid_; }
  // Read end of the stdout pipe (non-blocking, close-on-exec), or -1. Owned by this object.
  [[nodiscard]] int stdoutFd() const { return stdoutFd_; }

  // Waits up to timeout for the child to exit; returns its wait status (see WIFEXITED) or
  // nullopt if it still runs.
  std::optional<int> waitFor(std::chrono::milliseconds timeout);
  // SIGTERM, up to a second's grace, then SIGKILL; reaps the child. Idempotent.
  void terminate();

 private:
  pid_t pid_ = -1;
  int stdoutFd_ = -1;
  std::optional<int> status_;
};

struct CommandResult {
  int exitCode = -1;   // -1 if the command was killed, timed out or did not start
  std::string output;  // its stdout (and an explanation when exitCode is -1)
};

// Runs a command to completion, capturing its stdout; kills it after timeout.
CommandResult runCommand(const ChildProcess::Options& options, std::chrono::milliseconds timeout);

}  // namespace radiolist::test
