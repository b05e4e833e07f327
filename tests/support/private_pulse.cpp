#include "support/private_pulse.h"

#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace radiolist::test {

using namespace std::chrono_literals;

PrivatePulse::PrivatePulse() {
  char pattern[] = "/tmp/rl-pulse-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    error_ = "mkdtemp failed";
    return;
  }
  dir_ = pattern;
  // Its own HOME and runtime directory keep it away from every other daemon's files.
  const std::vector<std::pair<std::string, std::string>> env{
      {"HOME", dir_},
      {"XDG_RUNTIME_DIR", dir_},
      {"XDG_CONFIG_HOME", dir_ + "/.config"},
      {"PULSE_RUNTIME_PATH", dir_ + "/runtime"}};
  try {
    daemon_ = std::make_unique<ChildProcess>(ChildProcess::Options{
        {"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
         "--use-pid-file=no", "--log-level=error", "-L",
         "module-native-protocol-unix socket=" + dir_ + "/native auth-anonymous=1", "-L",
         std::string("module-null-sink sink_name=") + kSink},
        env,
        false});
  } catch (const std::exception& e) {
    error_ = std::string("cannot start pulseaudio: ") + e.what();
    return;
  }
  const ChildProcess::Options info{
      {"pactl", "set-default-sink", kSink}, {{"PULSE_SERVER", server()}}, true};
  const auto deadline = std::chrono::steady_clock::now() + 15s;
  while (runCommand(info, 5s).exitCode != 0) {
    if (daemon_->waitFor(0ms).has_value()) {
      error_ = "pulseaudio exited during start-up";
      return;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      error_ = "pulseaudio did not answer within 15 s";
      return;
    }
    std::this_thread::sleep_for(100ms);
  }
}

PrivatePulse::~PrivatePulse() {
  if (daemon_) {
    resume();  // a stopped process would only take SIGKILL
    daemon_->terminate();
  }
  std::error_code ignored;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

void PrivatePulse::pause() {
  if (daemon_) ::kill(daemon_->pid(), SIGSTOP);
}

void PrivatePulse::resume() {
  if (daemon_) ::kill(daemon_->pid(), SIGCONT);
}

}  // namespace radiolist::test
