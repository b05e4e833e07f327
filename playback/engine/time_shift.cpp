#include "playback/engine/time_shift.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

#include "playback/engine/frames.h"
#include "playback/engine/log_domains.h"
#include "playback/log/log.h"
#include "playback/log/thread_name.h"

namespace radiolist::audio {

namespace {

constexpr std::int64_t kUsPerSecond = 1'000'000;
// Live listening's lag is taken back when going live; not less, so the ring has a cushion.
constexpr std::int64_t kLeastLagUs = 250'000;
// A seek this close to live is a seek to live.
constexpr std::int64_t kLiveMarginUs = 250'000;

std::int64_t framesToUs(std::size_t frames) {
  return static_cast<std::int64_t>(frames) * kUsPerSecond / kOutputRate;
}

}  // namespace

TimeShift::TimeShift(SongBuffer& songs, Voice& voice, const std::atomic<bool>* levelOn)
    : songs_(songs), voice_(voice), levelOn_(levelOn) {}

TimeShift::~TimeShift() { stop(); }

void TimeShift::stop() {
  std::jthread thread;
  {
    const std::lock_guard lock(mutex_);
    stopped_ = true;
    thread = std::move(thread_);
  }
  wake_.notify_all();
  if (!thread.joinable()) return;
  thread.request_stop();
  voice_.ring.wakeProducer();
  thread.join();
}

void TimeShift::setLeveller(Leveller* leveller, std::mutex* guard) {
  const std::lock_guard lock(mutex_);
  leveller_ = leveller;
  levelGuard_ = guard;
}

std::int64_t TimeShift::heardUs() const {
  return ringEndUs_.load(std::memory_order_acquire) - framesToUs(voice_.pendingFrames());
}

std::int64_t TimeShift::liveLagLocked() const {
  const std::int64_t lag = songs_.liveUs() - heardUs();
  return std::clamp(lag, kLeastLagUs, framesToUs(voice_.ring.capacity()));
}

std::int64_t TimeShift::livePointLocked() const {
  // The network's backlog, drained at once when live listening stops waiting on the ring, is not
  // counted as delay: live moves on in real time from where it was left.
  const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
                           std::chrono::steady_clock::now() - leftAt_)
                           .count();
  return std::max(std::min(leftHeardUs_ + elapsed, songs_.liveUs() - kLeastLagUs),
                  songs_.oldestUs());
}

bool TimeShift::behindLocked() const {
  return want_ == Want::Hold || want_ == Want::Seek ||
         (owner_ == Owner::Replay && !catchingUp_ && want_ != Want::Live);
}

void TimeShift::ask(Want want, std::int64_t us) {
  if (!behindLocked()) {  // leaving live now
    if (owner_ == Owner::Live) lagUs_ = liveLagLocked();
    leftHeardUs_ = heardUs();
    leftAt_ = std::chrono::steady_clock::now();
  }
  want_ = want;
  wantUs_ = us;
  // A jump cuts short what the replay is writing; a pause leaves it to wait for room.
  if (want != Want::Hold) interrupt_.store(true, std::memory_order_release);
  voice_.ring.wakeProducer();
  // The replay may be waiting at the live edge for the next packet: the request wakes it.
  asked_.store(true, std::memory_order_release);
  songs_.wakeWaiters();
  if (stopped_) return;
  if (!thread_.joinable()) {
    thread_ = std::jthread([this](std::stop_token stop) {
      log::nameThisThread("rl-replay");
      run(stop);
    });
  }
  wake_.notify_all();
}

void TimeShift::setPaused(bool paused) {
  const std::lock_guard lock(mutex_);
  if (paused == paused_) return;
  paused_ = paused;
  voice_.paused.store(paused, std::memory_order_release);
  if (!paused) {
    // Paused longer than the buffer keeps: on from the oldest moment kept, not from the
    // second and a half the ring still holds of a moment gone.
    if (behindLocked() && want_ != Want::Seek && heardUs() < songs_.oldestUs())
      ask(Want::Seek, songs_.oldestUs());
    return;
  }
  if (owner_ == Owner::Live && want_ == Want::None)
    ask(Want::Hold);  // the replay carries on from here when Play comes
  else if (catchingUp_ || want_ == Want::Live)
    ask(Want::Hold);  // paused on the way back to live: stays behind
}

void TimeShift::goLive() {
  const std::lock_guard lock(mutex_);
  paused_ = false;
  voice_.paused.store(false, std::memory_order_release);
  if (behindLocked()) ask(Want::Live);
}

void TimeShift::seek(std::int64_t us) {
  const std::lock_guard lock(mutex_);
  const bool behind = behindLocked();
  const std::int64_t live = behind ? livePointLocked() : heardUs();
  if (us >= live - kLiveMarginUs) {
    if (behind) ask(Want::Live);
    return;
  }
  ask(Want::Seek, std::max(us, songs_.oldestUs()));
}

ShiftState TimeShift::state() const {
  const std::lock_guard lock(mutex_);
  ShiftState s;
  s.paused = paused_;
  s.behind = behindLocked();
  s.oldestUs = songs_.oldestUs();
  const std::int64_t newest = songs_.liveUs();
  s.canSeek = newest > s.oldestUs;
  if (s.behind) {
    s.liveUs = livePointLocked();
    s.positionUs = want_ == Want::Seek ? wantUs_ : std::max(heardUs(), s.oldestUs);
    s.positionUs = std::min(s.positionUs, s.liveUs);
    s.delaySeconds = static_cast<std::uint32_t>(
        std::llround(static_cast<double>(s.liveUs - s.positionUs) / kUsPerSecond));
  } else {
    s.positionUs = std::clamp(heardUs(), s.oldestUs, std::max(newest, s.oldestUs));
    if (want_ == Want::Live || catchingUp_) s.positionUs = std::max(newest - lagUs_, s.oldestUs);
    s.liveUs = s.positionUs;
  }
  return s;
}

std::optional<std::int64_t> TimeShift::heardBehind() const {
  const std::lock_guard lock(mutex_);
  if (!behindLocked()) return std::nullopt;
  return want_ == Want::Seek ? wantUs_ : heardUs();
}

DecodeHooks::Route TimeShift::livePacket(const std::optional<SongBuffer::Pushed>& pushed,
                                         const std::stop_token& stop) {
  std::unique_lock lock(mutex_);
  if (owner_ != Owner::Live) {
    paceLocked(lock, pushed, stop);
    return DecodeHooks::Route::Skip;
  }
  liveBusy_ = true;
  liveSeq_.reset();
  if (pushed) {
    liveSeq_ = pushed->seq;
    liveEndUs_ = pushed->endUs;
  }
  return std::exchange(liveResumes_, false) ? DecodeHooks::Route::DecodeAfterGap
                                            : DecodeHooks::Route::Decode;
}

void TimeShift::paceLocked(std::unique_lock<std::mutex>& lock,
                           const std::optional<SongBuffer::Pushed>& pushed,
                           const std::stop_token& stop) {
  using std::chrono::microseconds;
  // Each packet counts at least this: one that says it lasts nothing must not be taken freely.
  constexpr std::int64_t kLeastPacketUs = 250;
  // A packet the buffer did not keep (empty, or too large to be audio) says nothing of its length.
  constexpr std::int64_t kUnknownPacketUs = 20'000;
  std::int64_t step = kUnknownPacketUs;
  if (pushed) {
    step = pushed->endUs - paceEndUs_;
    paceEndUs_ = pushed->endUs;
  }
  paceUs_ += std::max(step, kLeastPacketUs);
  const auto now = std::chrono::steady_clock::now();
  const std::int64_t allowance = std::chrono::duration_cast<microseconds>(kPaceAllowance).count();
  const std::int64_t elapsed = std::chrono::duration_cast<microseconds>(now - paceFrom_).count();
  // A source slower than real time (a stall, a reconnect) makes up at most the allowance at once.
  if (paceUs_ < elapsed - allowance) paceUs_ = elapsed - allowance;
  const std::int64_t ahead = paceUs_ - elapsed - allowance;
  if (ahead <= 0) return;
  wake_.wait_until(lock, stop, now + microseconds(ahead),
                   [this] { return owner_ == Owner::Live || stopped_; });
}

void TimeShift::liveDone(std::size_t frames, bool whole) {
  {
    const std::lock_guard lock(mutex_);
    liveBusy_ = false;
    if (liveSeq_) {
      liveNext_ = whole ? *liveSeq_ + 1 : *liveSeq_;
      liveSkip_ = whole ? 0 : frames;
      if (whole) ringEndUs_.store(liveEndUs_, std::memory_order_release);
    }
  }
  wake_.notify_all();
}

std::vector<PacketPtr> TimeShift::livePrime() {
  std::optional<std::uint64_t> seq;
  {
    const std::lock_guard lock(mutex_);
    seq = liveSeq_;
  }
  return seq ? primeBefore(*seq) : std::vector<PacketPtr>{};
}

std::vector<PacketPtr> TimeShift::primeBefore(std::uint64_t seq) const {
  std::vector<PacketPtr> out;
  const auto at = songs_.packet(seq);
  if (!at || at->seq != seq) return out;
  for (std::uint64_t s = seq > kPrimePackets ? seq - kPrimePackets : 0; s < seq; ++s) {
    auto earlier = songs_.packet(s);
    if (earlier && earlier->seq == s && earlier->segment == at->segment)
      out.push_back(std::move(earlier->packet));
  }
  return out;
}

void TimeShift::markJump(std::uint64_t seq) {
  voice_.dropBefore.store(voice_.ring.written(), std::memory_order_release);
  if (const auto at = songs_.packet(seq)) ringEndUs_.store(at->startUs, std::memory_order_release);
}

void TimeShift::run(const std::stop_token& stop) {
  std::unique_lock lock(mutex_);
  while (!stop.stop_requested()) {
    wake_.wait(lock, stop, [this] { return want_ != Want::None; });
    if (stop.stop_requested()) return;
    if (want_ == Want::Live) {  // live already: nothing to leave
      want_ = Want::None;
      continue;
    }
    // The ring changes hands at the live decoder's packet boundary: it stops writing at once.
    // From now on it takes packets at their pace (livePacket).
    owner_ = Owner::Replay;
    paceFrom_ = std::chrono::steady_clock::now();
    paceUs_ = 0;
    paceEndUs_ = songs_.liveUs();
    divert_.store(true, std::memory_order_release);
    voice_.ring.wakeProducer();
    wake_.wait(lock, stop, [this] { return !liveBusy_; });
    if (stop.stop_requested()) return;
    voice_.ring.handProducerOver();  // the live decoder writes no more: the replay's turn
    std::uint64_t seq = liveNext_;
    std::size_t skip = liveSkip_;
    const bool jump = want_ == Want::Seek;
    if (jump) {
      seq = songs_.seqAt(wantUs_);
      skip = 0;
      // Before the request is marked done: what is heard is told from the new moment on.
      markJump(seq);
    }
    want_ = Want::None;
    interrupt_.store(false, std::memory_order_release);
    lock.unlock();
    log::write(audio::kEngineLog, jump ? "going back in the stream" : "paused; receiving on");
    const bool handedBack = replay(seq, skip, jump, stop);
    lock.lock();
    if (!handedBack) return;
  }
}

// What the replay carries from one packet to the next.
struct TimeShift::Replaying {
  std::uint64_t seq = 0;  // the next packet to play
  std::size_t skip = 0;   // frames of it already heard
  CodecContextPtr decoder;
  std::uint64_t segment = 0;
  std::uint64_t failedSegment = 0;  // a segment whose decoder would not open
  Resampler resampler;
  FadeIn fade;
  FramePtr frame{av_frame_alloc()};
  Leveller* leveller = nullptr;
  std::mutex* levelGuard = nullptr;
};

void TimeShift::startOver(Replaying& r) {
  // A jump to packet r.seq: what the ring holds is not to be heard, the decoder starts afresh.
  markJump(r.seq);
  r.decoder.reset();
  r.fade.restart();
  r.skip = 0;
}

bool TimeShift::replay(std::uint64_t seq, std::size_t skip, bool jump,
                       const std::stop_token& stop) {
  Replaying r;
  if (!r.frame) return false;
  r.seq = seq;
  r.skip = skip;
  if (jump) r.fade.restart();
  while (!stop.stop_requested()) {
    if (takeRequest(r)) return true;
    std::optional<SongBuffer::Replay> packet = songs_.packet(r.seq);
    if (!packet) {
      // At the live edge: the next packet or a request wakes it; nothing else does.
      edgeWaits_.fetch_add(1, std::memory_order_relaxed);
      songs_.waitFor(r.seq, stop, asked_);
      continue;
    }
    if (packet->seq != r.seq) {  // dropped from the buffer meanwhile: on from the oldest kept
      r.seq = packet->seq;
      startOver(r);
    }
    if (packet->segment == r.failedSegment || !decoderFor(r, *packet)) {
      r.seq = packet->seq + 1;
      continue;
    }
    r.seq = packet->seq + 1;
    play(r, *packet, stop);
  }
  return false;
}

bool TimeShift::takeRequest(Replaying& r) {
  const std::lock_guard lock(mutex_);
  r.leveller = leveller_;
  r.levelGuard = levelGuard_;
  if (want_ == Want::Seek) {
    r.seq = songs_.seqAt(wantUs_);
    catchingUp_ = false;
    startOver(r);
  } else if (want_ == Want::Live) {
    r.seq = songs_.seqAt(songs_.liveUs() - lagUs_);
    catchingUp_ = true;
    startOver(r);
  } else if (want_ == Want::Hold) {
    catchingUp_ = false;
  }
  want_ = Want::None;
  asked_.store(false, std::memory_order_release);
  interrupt_.store(false, std::memory_order_release);
  if (!catchingUp_ || songs_.nextSeq() > r.seq) return false;
  // Caught up: the live decoder takes the ring at the very next packet it receives.
  voice_.ring.handProducerOver();  // before divert_ lets it write
  owner_ = Owner::Live;
  catchingUp_ = false;
  liveNext_ = r.seq;
  liveSkip_ = 0;
  liveResumes_ = true;
  divert_.store(false, std::memory_order_release);
  wake_.notify_all();  // the live decoder may be waiting out its pace
  log::write(audio::kEngineLog, "live again");
  return true;
}

bool TimeShift::decoderFor(Replaying& r, const SongBuffer::Replay& packet) {
  if (r.decoder && packet.segment == r.segment) return true;
  if (r.decoder) r.fade.restart();  // another stream: a splice
  r.decoder = openDecoder(*packet.params);
  r.segment = packet.segment;
  r.resampler.reset();
  if (!r.decoder) {
    r.failedSegment = r.segment;
    return false;
  }
  prime(*r.decoder, primeBefore(packet.seq), *r.frame);
  return true;
}

void TimeShift::play(Replaying& r, const SongBuffer::Replay& packet, const std::stop_token& stop) {
  if (avcodec_send_packet(r.decoder.get(), packet.packet.get()) < 0) return;
  bool whole = true;
  while (avcodec_receive_frame(r.decoder.get(), r.frame.get()) >= 0) {
    const auto converted = r.resampler.convert(*r.frame);
    av_frame_unref(r.frame.get());
    if (!whole) continue;
    std::span<StereoFrame> frames(const_cast<StereoFrame*>(converted.data()), converted.size());
    const std::size_t skipped = std::min(r.skip, frames.size());
    frames = frames.subspan(skipped);
    r.skip -= skipped;
    r.fade.apply(frames);
    if (r.leveller != nullptr) {
      const std::lock_guard level(*r.levelGuard);
      r.leveller->process(frames, levelOn_ == nullptr || levelOn_->load(std::memory_order_relaxed));
    }
    whole = writeAll(voice_.ring, frames, stop, &interrupt_) == frames.size();
  }
  ringEndUs_.store(packet.endUs, std::memory_order_release);
}

}  // namespace radiolist::audio
