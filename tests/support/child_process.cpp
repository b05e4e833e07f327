#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace radiolist::test {
namespace {

std::vector<std::string> childEnvironment(const ChildProcess::Options& options) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    const std::string key = entry.substr(0, entry.find('='));
    bool overridden = false;
    for (const auto& [k, v] : options.env) overridden = overridden || k == key;
    if (!overridden) env.push_back(entry);
  }
  for (const auto& [k, v] : options.env) env.push_back(k + "=" + v);
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

}  // namespace

ChildProcess::ChildProcess(const Options& options) {
  if (options.argv.empty()) throw std::runtime_error("ChildProcess: empty argv");
  std::vector<std::string> argv = options.argv;
  std::vector<std::string> env = childEnvironment(options);
  std::vector<char*> argvp = pointers(argv);
  std::vector<char*> envp = pointers(env);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int pipeFds[2] = {-1, -1};
  if (options.captureStdout) {
    // Close-on-exec, so that no other child inherits the pipe and keeps it open; dup2 in
    // the child clears the flag on its stdout.
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
      posix_spawn_file_actions_destroy(&actions);
      throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    }
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  }
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  const int rc = posix_spawnp(&pid_, argvp[0], &actions, nullptr, argvp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (pipeFds[1] >= 0) close(pipeFds[1]);
  if (rc != 0) {
    if (pipeFds[0] >= 0) close(pipeFds[0]);
    pid_ = -1;
    throw std::runtime_error("cannot start " + options.argv[0] + ": " + std::strerror(rc));
  }
  if (pipeFds[0] >= 0) {
    fcntl(pipeFds[0], F_SETFL, fcntl(pipeFds[0], F_GETFL) | O_NONBLOCK);
    stdoutFd_ = pipeFds[0];
  }
}

ChildProcess::~ChildProcess() {
  terminate();
  if (stdoutFd_ >= 0) close(stdoutFd_);
}

std::optional<int> ChildProcess::waitFor(std::chrono::milliseconds timeout) {
  if (status_ || pid_ < 0) return status_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_ || (r < 0 && errno != EINTR)) {
      status_ = r == pid_ ? status : -1;
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void ChildProcess::terminate() {
  if (status_ || pid_ < 0) return;
  kill(pid_, SIGTERM);
  if (!waitFor(std::chrono::seconds(1))) {
    kill(pid_, SIGKILL);
    waitFor(std::chrono::seconds(5));
  }
}

CommandResult runCommand(const ChildProcess::Options& options, std::chrono::milliseconds timeout) {
  CommandResult result;
  ChildProcess::Options opts = options;
  opts.captureStdout = true;
  std::optional<ChildProcess> child;
  try {
    child.emplace(opts);
  } catch (const std::exception& e) {
    result.output = e.what();
    return result;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool open = true;
  while (open) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.output += "\n[timed out after " + std::to_string(timeout.count()) + " ms]";
      return result;  // the destructor kills the child
    }
    pollfd pfd{child->stdoutFd(), POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    char buf[4096];
    for (;;) {
      const ssize_t n = read(child->stdoutFd(), buf, sizeof buf);
      if (n > 0) {
        result.output.append(buf, static_cast<std::size_t>(n));
        continue;
      }
      if (n == 0) open = false;  // EOF: the child (and anything it left) closed stdout
      break;
    }
  }
  const auto status = child->waitFor(std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now()));
  if (status && WIFEXITED(*status)) result.exitCode = WEXITSTATUS(*status);
  return result;
}

}  // namespace radiolist::test
