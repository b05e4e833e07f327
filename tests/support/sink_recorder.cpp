#include "support/sink_recorder.h"

#include "support/signal_analysis.h"
#include "support/test_servers.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace radiolist::test {

SinkRecorder::SinkRecorder(const TestServers& servers, int keepSeconds)
    : SinkRecorder(servers.pulseServer(), servers.monitorSource(), keepSeconds) {}

namespace {

std::atomic<int> privateSinkCount{0};

std::string pactl(const std::string& pulseServer, const std::vector<std::string>& args, bool& ok) {
  std::vector<std::string> argv{"pactl"};
  argv.reserve(args.size() + 1);
  for (const auto& a : args) argv.push_back(a);
  const CommandResult r =
      runCommand({argv, {{"PULSE_SERVER", pulseServer}}}, std::chrono::seconds(10));
  ok = r.exitCode == 0;
  std::string out = r.output;
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

}  // namespace

PrivateSink::PrivateSink(const TestServers& servers)
    : pulseServer_(servers.pulseServer()),
      name_("rl_test_" + std::to_string(getpid()) + "_" + std::to_string(++privateSinkCount)) {
  bool ok = false;
  const std::string out =
      pactl(pulseServer_, {"load-module", "module-null-sink", "sink_name=" + name_}, ok);
  if (ok && !out.empty())
    module_ = out;
  else
    error_ = "pactl load-module module-null-sink sink_name=" + name_ + " failed: " + out;
}

PrivateSink::~PrivateSink() {
  if (module_.empty()) return;
  bool ok = false;
  pactl(pulseServer_, {"unload-module", module_}, ok);
}

void PrivateSink::exportAsDefault() const { setenv("PULSE_SINK", name_.c_str(), 1); }

SinkRecorder::SinkRecorder(const PrivateSink& sink, int keepSeconds)
    : SinkRecorder(sink.pulseServer(), sink.monitorSource(), keepSeconds) {}

SinkRecorder::SinkRecorder(std::string pulseServer, std::string source, int keepSeconds)
    : pulseServer_(std::move(pulseServer)),
      source_(std::move(source)),
      keepFrames_(static_cast<std::size_t>(keepSeconds) * kSampleRate) {}

SinkRecorder::~SinkRecorder() { stop(); }

std::string SinkRecorder::start() {
  if (parec_) return {};
  {
    const std::lock_guard lock(mutex_);
    stopping_ = false;
    eof_ = false;
  }
  try {
    parec_ = std::make_unique<ChildProcess>(
        ChildProcess::Options{{"parec", "-d", source_, "--raw", "--format=s16le", "--rate=44100",
                               "--channels=1", "--latency-msec=20"},
                              {{"PULSE_SERVER", pulseServer_}},
                              true});
  } catch (const std::exception& e) {
    return e.what();
  }
  reader_ = std::thread([this, fd = parec_->stdoutFd()] { readLoop(fd); });
  const std::uint64_t first = position() + 1;
  if (!waitForPosition(first, std::chrono::seconds(5))) {
    stop();
    return "parec -d " + source_ + " (PULSE_SERVER=" + pulseServer_ +
           ") delivered no audio within 5 s";
  }
  return {};
}

void SinkRecorder::stop() {
  if (!parec_) return;
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  if (reader_.joinable()) reader_.join();
  parec_.reset();  // terminates and reaps parec, closes the pipe
}

void SinkRecorder::readLoop(int fd) {
  std::vector<char> buf(8192);
  std::size_t carry = 0;  // an odd byte left over from the previous read
  for (;;) {
    {
      const std::lock_guard lock(mutex_);
      if (stopping_) return;
    }
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, 50) <= 0) continue;  // timeout (check stopping_) or EINTR
    const ssize_t n = read(fd, buf.data() + carry, buf.size() - carry);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) {
      const std::lock_guard lock(mutex_);
      eof_ = true;
      arrived_.notify_all();
      return;
    }
    const std::size_t bytes = carry + static_cast<std::size_t>(n);
    const std::size_t count = bytes / 2;
    const std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < count; ++i) {
      // s16le, assembled by hand so the host's byte order does not matter.
      const auto lo = static_cast<std::uint8_t>(buf[2 * i]);
      const auto hi = static_cast<std::uint8_t>(buf[2 * i + 1]);
      kept_.push_back(static_cast<std::int16_t>(static_cast<std::uint16_t>(lo | (hi << 8))));
    }
    carry = bytes % 2;
    if (carry) buf[0] = buf[bytes - 1];
    position_ += count;
    // Trim in batches so that appending stays amortised O(1).
    if (kept_.size() > 2 * keepFrames_)
      kept_.erase(kept_.begin(),
                  kept_.begin() + static_cast<std::ptrdiff_t>(kept_.size() - keepFrames_));
    arrived_.notify_all();
  }
}

std::uint64_t SinkRecorder::position() const {
  const std::lock_guard lock(mutex_);
  return position_;
}

bool SinkRecorder::waitForPosition(std::uint64_t target, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return arrived_.wait_for(lock, timeout, [&] { return position_ >= target || eof_; }) &&
         position_ >= target;
}

bool SinkRecorder::record(std::chrono::milliseconds duration) const {
  // Generous slack: the recording runs in real time, but a loaded machine delivers late.
  return waitForPosition(position() + frames(duration), duration * 2 + std::chrono::seconds(5));
}

std::vector<float> SinkRecorder::since(std::uint64_t from) const {
  const std::lock_guard lock(mutex_);
  const std::uint64_t oldest = position_ - kept_.size();
  if (from < oldest) from = oldest;
  if (from >= position_) return {};
  const auto skip = static_cast<std::size_t>(from - oldest);
  return toFloat(std::span<const std::int16_t>(kept_).subspan(skip));
}

std::vector<float> SinkRecorder::last(std::chrono::milliseconds duration) const {
  const std::uint64_t want = frames(duration);
  const std::uint64_t now = position();
  return since(now > want ? now - want : 0);
}

std::optional<std::chrono::milliseconds> SinkRecorder::waitFor(
    std::chrono::milliseconds window, std::chrono::milliseconds timeout,
    const std::function<bool(std::span<const float>)>& heard) const {
  const auto begin = std::chrono::steady_clock::now();
  const auto deadline = begin + timeout;
  const std::uint64_t from = position();
  std::uint64_t next = from + frames(window);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !waitForPosition(next, left)) return std::nullopt;
    const std::uint64_t now = position();
    const std::vector<float> samples = since(now - frames(window));
    if (heard(samples))
      return std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now() - begin);
    // Re-evaluate after about 20 ms of new audio, not after every read.
    next = now + frames(std::chrono::milliseconds(20));
  }
}

}  // namespace radiolist::test
