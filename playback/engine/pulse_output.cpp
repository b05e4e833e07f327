// Every pa_* call of the library is in this file.
#include <pulse/pulseaudio.h>

#include <atomic>
#include <chrono>
#include <cstdint>

#include "playback/engine/log_domains.h"
#include "playback/engine/output.h"
#include "playback/log/log.h"

namespace radiolist::audio {

namespace {

// Target fill of the server's buffer, and the size of each refill. Small enough to keep the
// delay after a stop short, large enough for a busy two-core machine.
constexpr pa_usec_t kTargetLatencyUs = 80'000;
constexpr pa_usec_t kRefillUs = 20'000;
// How long the output goes on after sound stops being wanted before its stream is corked: long
// enough to bridge the window's free followed at once by a new creation even when a busy
// machine holds the window's thread between the two (a cork and uncork in between is heard as a
// gap), short enough to count as at once.
constexpr auto kCorkAfter = std::chrono::milliseconds(500);

class PulseOutput final : public Output {
 public:
  PulseOutput(Mixer& mixer, std::chrono::milliseconds release) : mixer_(mixer), release_(release) {}

  ~PulseOutput() override {
    if (loop_ == nullptr) return;
    mixer_.setWaker(nullptr);          // no wake() runs after this
    pa_threaded_mainloop_stop(loop_);  // joins the loop's thread: no callback runs after this
    if (idleTimer_ != nullptr) pa_threaded_mainloop_get_api(loop_)->time_free(idleTimer_);
    dropStream();
    if (context_ != nullptr) {
      pa_context_disconnect(context_);
      pa_context_unref(context_);
    }
    pa_threaded_mainloop_free(loop_);
  }

  // Starts connecting and returns at once: only a server that refuses the connection outright
  // (no socket to connect to) fails here. The rest of the handshake, and the stream, follow on
  // the loop's thread, so a server that accepts but does not answer holds nobody.
  bool open(std::chrono::milliseconds timeout) {
    loop_ = pa_threaded_mainloop_new();
    if (loop_ == nullptr) return false;
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
    context_ = pa_context_new(api, "radiolist");
    if (context_ == nullptr) return false;
    pa_context_set_state_callback(context_, &PulseOutput::onContextState, this);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return false;
    armTimeout(api, timeout);
    idleTimer_ = api->time_new(
        api, nullptr,
        [](pa_mainloop_api*, pa_time_event*, const timeval*, void* self) {
          static_cast<PulseOutput*>(self)->onIdle();
        },
        this);
    if (idleTimer_ == nullptr) return false;
    mixer_.handConsumersOver();  // the voices' rings are read on this output's thread now
    if (pa_threaded_mainloop_start(loop_) < 0) return false;
    mixer_.setWaker([this] {
      pa_threaded_mainloop_lock(loop_);
      if (stream_ != nullptr && ready_.load()) {
        // Under the loop's lock this thread reads the rings for the call; the loop's thread
        // takes them back at its next write.
        mixer_.handConsumersOver();
        startAudioNow(stream_);
        mixer_.handConsumersOver();
      }
      pa_threaded_mainloop_unlock(loop_);
    });
    return true;
  }

  [[nodiscard]] bool healthy() const override { return !broken_.load(); }
  [[nodiscard]] std::uint64_t underruns() const override { return underruns_.load(); }

  void setWanted(bool wanted) override {
    pa_threaded_mainloop_lock(loop_);
    if (wanted != wanted_) {
      wanted_ = wanted;
      if (wanted) {
        disarmIdle();
        if (stream_ == nullptr)
          connectIfReady();
        else
          applyCork();
      } else {
        armIdle(kCorkAfter);
      }
    }
    pa_threaded_mainloop_unlock(loop_);
  }

  void prepare() override {
    pa_threaded_mainloop_lock(loop_);
    if (stream_ == nullptr && connectIfReady() && !wanted_) armIdle(release_);
    pa_threaded_mainloop_unlock(loop_);
  }

  void dropQueued() override {
    pa_threaded_mainloop_lock(loop_);
    if (stream_ != nullptr && pa_stream_get_state(stream_) == PA_STREAM_READY) {
      if (pa_operation* op = pa_stream_flush(stream_, nullptr, nullptr)) pa_operation_unref(op);
    }
    pa_threaded_mainloop_unlock(loop_);
  }

 private:
  // Gives up on a server that has not answered within `timeout` (it accepted the connection but
  // hangs, or is stopped): the output reports itself broken, and the next BASS_Init tries anew.
  void armTimeout(pa_mainloop_api* api, std::chrono::milliseconds timeout) {
    timeval when{};
    pa_gettimeofday(&when);
    pa_timeval_add(&when, static_cast<pa_usec_t>(timeout.count()) * 1000);
    api->time_new(
        api, &when,
        [](pa_mainloop_api* a, pa_time_event* e, const timeval*, void* self) {
          auto* out = static_cast<PulseOutput*>(self);
          if (!out->answered_) {
            log::write(audio::kOutputLog, "the sound server did not answer in time");
            out->broken_.store(true);
          }
          a->time_free(e);
        },
        this);
  }

  // The idle timer: fires once, `after` from now (with the loop locked).
  void armIdle(std::chrono::milliseconds after) {
    timeval when{};
    pa_gettimeofday(&when);
    pa_timeval_add(&when, static_cast<pa_usec_t>(after.count()) * 1000);
    pa_threaded_mainloop_get_api(loop_)->time_restart(idleTimer_, &when);
  }
  void disarmIdle() { pa_threaded_mainloop_get_api(loop_)->time_restart(idleTimer_, nullptr); }

  // Sound unwanted for a while: first the stream is corked (the server stops asking for audio,
  // and the loop's thread sleeps), then, after `release_` more, it is let go of. The context
  // stays, so that a stream is made again in one round trip.
  void onIdle() {
    if (wanted_ || stream_ == nullptr) return;
    if (!ready_.load()) {  // still being made: look again later
      armIdle(kCorkAfter);
      return;
    }
    if (!corked_) {
      applyCork();
      armIdle(release_);
      return;
    }
    log::write(audio::kOutputLog, "nothing played for a while: sound stream closed");
    dropStream();
  }

  // Corks the stream when sound is unwanted, uncorks it when wanted. With the loop locked.
  void applyCork() {
    const bool cork = !wanted_;
    if (stream_ == nullptr || !ready_.load() || cork == corked_) return;
    if (pa_operation* op = pa_stream_cork(stream_, cork ? 1 : 0, nullptr, nullptr)) {
      pa_operation_unref(op);
      corked_ = cork;
    }
  }

  // With the loop locked, or once its thread has stopped.
  void dropStream() {
    if (stream_ == nullptr) return;
    ready_.store(false);
    // Its callbacks would take the stream's end for a failure.
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
    pa_stream_set_underflow_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
  }

  // Makes the stream again when the context is up (else its readiness does). With the loop locked.
  bool connectIfReady() {
    if (context_ == nullptr || pa_context_get_state(context_) != PA_CONTEXT_READY) return false;
    if (!connectStream()) {
      broken_.store(true);
      return false;
    }
    return true;
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
    // Made silent when nothing is to sound yet, so that the server does not ask for audio.
    corked_ = !wanted_;
    quietFrames_ = 0;
    queuedFrames_ = 0;
    const auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_ADJUST_LATENCY | (corked_ ? PA_STREAM_START_CORKED : PA_STREAM_NOFLAGS));
    return pa_stream_connect_playback(stream_, nullptr, &attr, flags, nullptr, nullptr) >= 0;
  }

  // Both run on the loop's thread, with the loop locked; they log only when the connection has
  // already failed, never while sound flows.
  static void onContextState(pa_context* c, void* self) {
    auto* out = static_cast<PulseOutput*>(self);
    const pa_context_state_t state = pa_context_get_state(c);
    if (state == PA_CONTEXT_READY && out->stream_ == nullptr) {
      if (!out->connectStream())
        out->broken_.store(true);
      else if (!out->wanted_)
        out->armIdle(out->release_);  // made silent; let go of if nothing comes to play
    }
    if (!PA_CONTEXT_IS_GOOD(state)) {
      log::write(audio::kOutputLog, "sound server: ", pa_strerror(pa_context_errno(c)));
      out->broken_.store(true);
    }
  }
  static void onStreamState(pa_stream* s, void* self) {
    auto* out = static_cast<PulseOutput*>(self);
    const pa_stream_state_t state = pa_stream_get_state(s);
    if (state == PA_STREAM_READY) {
      if (const pa_buffer_attr* attr = pa_stream_get_buffer_attr(s))
        out->queuedFrames_ = attr->tlength / sizeof(StereoFrame);
      out->ready_.store(true);
      out->answered_ = true;
      out->applyCork();  // wanted or not meanwhile
    }
    if (!PA_STREAM_IS_GOOD(state)) {
      log::write(audio::kOutputLog,
                 "sound stream: ", pa_strerror(pa_context_errno(pa_stream_get_context(s))));
      out->broken_.store(true);
    }
  }

  // The server wants `bytes` more. Runs on the loop's thread: mixes straight into the server's
  // buffer, no lock, no allocation, no logging.
  static void onWrite(pa_stream* s, std::size_t bytes, void* self) {
    auto* out = static_cast<PulseOutput*>(self);
    if (!out->startAudioNow(s)) out->write(s, bytes, PA_SEEK_RELATIVE);
  }

  // When everything the server holds is silence and a buffer's worth of audio is waiting, the
  // audio replaces that silence from the point being played now, instead of waiting behind it
  // for a whole buffer's time. True when it did. With the loop locked.
  bool startAudioNow(pa_stream* s) {
    if (queuedFrames_ == 0 || quietFrames_ < queuedFrames_ || !mixer_.audioWaiting(queuedFrames_))
      return false;
    write(s, queuedFrames_ * sizeof(StereoFrame), PA_SEEK_RELATIVE_ON_READ);
    return true;
  }

  void write(pa_stream* s, std::size_t bytes, pa_seek_mode_t seek) {
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
      const std::size_t sounded = mixer_.render(static_cast<float*>(data), frames);
      quietFrames_ = sounded == frames ? 0
                     : sounded == 0    ? quietFrames_ + frames
                                       : frames - sounded;
      if (pa_stream_write(s, data, frames * kFrameBytes, nullptr, 0, seek) < 0) return;
      seek = PA_SEEK_RELATIVE;
      bytes -= frames * kFrameBytes;
    }
  }

  Mixer& mixer_;
  const std::chrono::milliseconds release_;
  pa_threaded_mainloop* loop_ = nullptr;
  pa_time_event* idleTimer_ = nullptr;
  // With the loop locked: whether sound is wanted, and whether the stream is (asked to be) corked.
  bool wanted_ = false;
  bool corked_ = false;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;  // made on the loop's thread once the context is ready
  std::atomic<bool> ready_{false};
  bool answered_ = false;  // with the loop locked: a stream has been ready once (ready_ is not
                           // while a stream let go of is made again)
  std::atomic<bool> broken_{false};
  std::atomic<std::uint64_t> underruns_{0};
  // The loop's thread only: the server's buffer in frames, and how many of the last frames
  // written were silence (all of the buffer once this reaches queuedFrames_).
  std::size_t queuedFrames_ = 0;
  std::size_t quietFrames_ = 0;
};

}  // namespace

std::unique_ptr<Output> openPulseOutput(Mixer& mixer, std::chrono::milliseconds timeout,
                                        std::chrono::milliseconds release) {
  auto output = std::make_unique<PulseOutput>(mixer, release);
  if (!output->open(timeout)) return nullptr;
  return output;
}

}  // namespace radiolist::audio
