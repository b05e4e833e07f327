// Every pa_* call of the library is in this file.
#include <pulse/pulseaudio.h>

#include <atomic>
#include <chrono>
#include <cstdint>

#include "playback/engine/output.h"

namespace radiolist::audio {

namespace {

// Target fill of the server's buffer, and the size of each refill. Small enough to keep the
// delay after a stop short, large enough for a busy two-core machine.
constexpr pa_usec_t kTargetLatencyUs = 80'000;
constexpr pa_usec_t kRefillUs = 20'000;

class PulseOutput final : public Output {
 public:
  explicit PulseOutput(Mixer& mixer) : mixer_(mixer) {}

  ~PulseOutput() override {
    if (loop_ == nullptr) return;
    pa_threaded_mainloop_stop(loop_);  // joins the loop's thread: no callback runs after this
    if (stream_ != nullptr) {
      pa_stream_disconnect(stream_);
      pa_stream_unref(stream_);
    }
    if (context_ != nullptr) {
      pa_context_disconnect(context_);
      pa_context_unref(context_);
    }
    pa_threaded_mainloop_free(loop_);
  }

  bool open(std::chrono::milliseconds timeout) {
    loop_ = pa_threaded_mainloop_new();
    if (loop_ == nullptr) return false;
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
    context_ = pa_context_new(api, "radiolist");
    if (context_ == nullptr) return false;
    pa_context_set_state_callback(context_, &PulseOutput::onContextState, this);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return false;
    if (pa_threaded_mainloop_start(loop_) < 0) return false;

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    pa_threaded_mainloop_lock(loop_);
    armTimeout(api, timeout);
    bool ok = waitFor([this] { return contextSettled(); }, deadline) &&
              pa_context_get_state(context_) == PA_CONTEXT_READY && connectStream() &&
              waitFor([this] { return streamSettled(); }, deadline) &&
              pa_stream_get_state(stream_) == PA_STREAM_READY;
    if (timer_ != nullptr) {
      api->time_free(timer_);
      timer_ = nullptr;
    }
    pa_threaded_mainloop_unlock(loop_);
    return ok;
  }

  [[nodiscard]] bool healthy() const override { return !broken_.load(); }
  [[nodiscard]] std::uint64_t underruns() const override { return underruns_.load(); }

  void dropQueued() override {
    pa_threaded_mainloop_lock(loop_);
    if (pa_stream_get_state(stream_) == PA_STREAM_READY) {
      if (pa_operation* op = pa_stream_flush(stream_, nullptr, nullptr)) pa_operation_unref(op);
    }
    pa_threaded_mainloop_unlock(loop_);
  }

 private:
  // Called with the loop locked; waits (unlocking meanwhile) until `done` or the deadline.
  template <typename F>
  bool waitFor(F done, std::chrono::steady_clock::time_point deadline) {
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      pa_threaded_mainloop_wait(loop_);
    }
    return true;
  }

  // Wakes the waiting thread when the timeout passes, so that a server that accepts but never
  // answers cannot hold BASS_Init.
  void armTimeout(pa_mainloop_api* api, std::chrono::milliseconds timeout) {
    timeval when{};
    pa_gettimeofday(&when);
    pa_timeval_add(&when, static_cast<pa_usec_t>(timeout.count()) * 1000);
    timer_ = api->time_new(
        api, &when,
        [](pa_mainloop_api*, pa_time_event*, const timeval*, void* self) {
          pa_threaded_mainloop_signal(static_cast<PulseOutput*>(self)->loop_, 0);
        },
        this);
  }

  bool contextSettled() const {
    const pa_context_state_t s = pa_context_get_state(context_);
    return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
  }
  bool streamSettled() const {
    const pa_stream_state_t s = pa_stream_get_state(stream_);
    return s == PA_STREAM_READY || !PA_STREAM_IS_GOOD(s);
  }

  bool connectStream() {
    pa_sample_spec spec{};
    spec.format = PA_SAMPLE_FLOAT32NE;
    spec.rate = kOutputRate;
    spec.channels = 2;
    stream_ = pa_stream_new(context_, "radio", &spec, nullptr);
    if (stream_ == nullptr) return false;
    pa_stream_set_state_callback(stream_, &PulseOutput::onStreamState, this);
    pa_stream_set_write_callback(stream_, &PulseOutput::onWrite, this);
    pa_stream_set_underflow_callback(
        stream_,
        [](pa_stream*, void* self) { static_cast<PulseOutput*>(self)->underruns_.fetch_add(1); },
        this);
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(kTargetLatencyUs, &spec));
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = static_cast<std::uint32_t>(pa_usec_to_bytes(kRefillUs, &spec));
    attr.fragsize = static_cast<std::uint32_t>(-1);
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY);
    return pa_stream_connect_playback(stream_, nullptr, &attr, flags, nullptr, nullptr) >= 0;
  }

  static void onContextState(pa_context* c, void* self) {
    auto* out = static_cast<PulseOutput*>(self);
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(c))) out->broken_.store(true);
    pa_threaded_mainloop_signal(out->loop_, 0);
  }
  static void onStreamState(pa_stream* s, void* self) {
    auto* out = static_cast<PulseOutput*>(self);
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(s))) out->broken_.store(true);
    pa_threaded_mainloop_signal(out->loop_, 0);
  }

  // The server wants `bytes` more. Runs on the loop's thread: mixes straight into the server's
  // buffer, no lock, no allocation, no logging.
  static void onWrite(pa_stream* s, std::size_t bytes, void* self) {
    auto* out = static_cast<PulseOutput*>(self);
    constexpr std::size_t kFrameBytes = sizeof(StereoFrame);
    while (bytes >= kFrameBytes) {
      void* data = nullptr;
      std::size_t size = bytes;
      if (pa_stream_begin_write(s, &data, &size) < 0 || data == nullptr) return;
      const std::size_t frames = std::min(size, bytes) / kFrameBytes;
      if (frames == 0) {
        pa_stream_cancel_write(s);
        return;
      }
      out->mixer_.render(static_cast<float*>(data), frames);
      if (pa_stream_write(s, data, frames * kFrameBytes, nullptr, 0, PA_SEEK_RELATIVE) < 0) return;
      bytes -= frames * kFrameBytes;
    }
  }

  Mixer& mixer_;
  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
  pa_time_event* timer_ = nullptr;
  std::atomic<bool> broken_{false};
  std::atomic<std::uint64_t> underruns_{0};
};

}  // namespace

std::unique_ptr<Output> openPulseOutput(Mixer& mixer, std::chrono::milliseconds timeout) {
  auto output = std::make_unique<PulseOutput>(mixer);
  if (!output->open(timeout)) return nullptr;
  return output;
}

}  // namespace radiolist::audio
