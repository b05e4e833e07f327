#include "playback/engine/loudness.h"

#include <ebur128.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <numbers>
#include <utility>
#include <vector>

#include "playback/engine/tsv_file.h"

namespace radiolist::audio {
namespace {

constexpr TsvBounds kBounds{LoudnessMemory::kMaxEntries, LoudnessMemory::kMaxFieldBytes};
// Below the meter's absolute gate nothing counts as loudness.
constexpr double kAbsoluteGateLufs = -70.0;
// The interpolator's estimate of a peak between samples can fall short of the real one by a
// fraction of a dB; the limiter aims this much below the ceiling.
constexpr double kEstimateMarginDb = 0.5;
constexpr double kReleaseSeconds = 0.08;

float fromDb(double db) { return static_cast<float>(std::pow(10.0, db / 20.0)); }

// Windowed-sinc interpolation of the points a quarter, half and three quarters of the way from
// one sample to the next, over kHalfTaps samples each side.
struct Interpolator {
  static constexpr std::size_t kTaps = 2 * TruePeakLimiter::kHalfTaps;
  std::array<std::array<float, kTaps>, 3> phases{};
  // No interpolated point exceeds the largest sample around it times this (the largest sum of
  // a phase's absolute taps).
  float reach = 1.0f;

  Interpolator() {
    const double half = static_cast<double>(TruePeakLimiter::kHalfTaps);
    for (std::size_t p = 0; p < 3; ++p) {
      const double frac = static_cast<double>(p + 1) / 4.0;
      double sum = 0.0;
      std::array<double, kTaps> h{};
      for (std::size_t i = 0; i < kTaps; ++i) {
        // Tap i multiplies the sample at offset i - (half - 1) from the one before the point.
        const double t = frac - (static_cast<double>(i) - (half - 1.0));
        const double sinc =
            t == 0.0 ? 1.0 : std::sin(std::numbers::pi * t) / (std::numbers::pi * t);
        const double window = 0.5 * (1.0 + std::cos(std::numbers::pi * t / half));
        h[i] = sinc * window;
        sum += h[i];
      }
      double absSum = 0.0;
      for (std::size_t i = 0; i < kTaps; ++i) {
        phases[p][i] = static_cast<float>(h[i] / sum);
        absSum += std::abs(h[i] / sum);
      }
      reach = std::max(reach, static_cast<float>(absSum));
    }
  }
};

const Interpolator& interpolator() {
  static const Interpolator made;
  return made;
}

}  // namespace

// --- LevelControl ---

LevelControl::LevelControl(std::optional<double> remembered) {
  if (remembered) {
    gainDb_ = gainFor(*remembered);
    settled_ = true;
  }
}

double LevelControl::gainFor(double lufs) {
  return std::clamp(kTargetLufs - lufs, -kMaxGainDb, kMaxGainDb);
}

double LevelControl::advance(double elapsed, std::optional<double> integrated,
                             double gatedSeconds) {
  if (!integrated || gatedSeconds < kSettleSeconds || elapsed <= 0.0) return gainDb_;
  const double off = gainFor(*integrated) - gainDb_;
  if (!settled_) {
    const double step = kSettleDbPerSecond * elapsed;
    if (std::abs(off) <= step) {
      gainDb_ += off;
      settled_ = true;
    } else {
      gainDb_ += std::copysign(step, off);
    }
  } else if (std::abs(off) > kDeadBandLu) {
    const double step = std::min(kFollowDbPerSecond * elapsed, std::abs(off) - kDeadBandLu);
    gainDb_ += std::copysign(step, off);
  }
  return gainDb_;
}

// --- TruePeakLimiter ---

TruePeakLimiter::TruePeakLimiter()
    : ceiling_(fromDb(kCeilingDb - kEstimateMarginDb)),
      quietBelow_(ceiling_ / interpolator().reach),
      release_(static_cast<float>(1.0 - std::exp(-1.0 / (kReleaseSeconds * kOutputRate)))) {
  required_.fill(1.0f);
  windowMin_.fill(1.0f);
  windowSum_ = static_cast<double>(kLookahead);
}

float TruePeakLimiter::detect(std::size_t centre) const {
  float peak =
      std::max(std::abs(input_[centre & kMask].left), std::abs(input_[centre & kMask].right));
  // Quiet surroundings cannot make a peak near the ceiling: most of the audio skips the work.
  if (sinceLoud_ >= 2 * kHalfTaps) return peak;
  // The samples from kHalfTaps - 1 before `centre` to kHalfTaps after it.
  const std::size_t first = centre - (kHalfTaps - 1);
  for (const auto& phase : interpolator().phases) {
    float left = 0.0f;
    float right = 0.0f;
    for (std::size_t i = 0; i < phase.size(); ++i) {
      const StereoFrame& f = input_[(first + i) & kMask];
      left += phase[i] * f.left;
      right += phase[i] * f.right;
    }
    peak = std::max({peak, std::abs(left), std::abs(right)});
  }
  return peak;
}

void TruePeakLimiter::process(std::span<StereoFrame> frames, bool active) {
  for (StereoFrame& frame : frames) {
    const std::size_t t = count_++;
    input_[t & kMask] = frame;
    const bool loud = std::max(std::abs(frame.left), std::abs(frame.right)) >= quietBelow_;
    sinceLoud_ = loud ? 0 : std::min(sinceLoud_ + 1, kQuietRun);
    // The newest frame whose surroundings are all known; a peak between it and the one before
    // asks both for their gain.
    const std::size_t centre = t - kHalfTaps;
    if (sinceLoud_ == kQuietRun && gain_ == 1.0f) {
      // Long quiet and fully released: every gain in the windows is 1, so the state is set to
      // that directly and the frame only passes through the delay (most of a levelled station).
      const std::size_t start = centre - (kLookahead - 1);
      const float peak =
          std::max(std::abs(input_[centre & kMask].left), std::abs(input_[centre & kMask].right));
      lastPeak_ = peak;
      highest_ = std::max(highest_, peak);
      required_[centre & kMask] = 1.0f;
      windowMin_[start & kMask] = 1.0f;
      queueHead_ = queueTail_;
      minQueue_[queueTail_++ & kMask] = centre;
      windowSum_ = static_cast<double>(kLookahead);
      frame = input_[(t - kLatency) & kMask];
      continue;
    }
    const float peak = detect(centre);
    const float need = std::max(peak, lastPeak_);
    lastPeak_ = peak;
    highest_ = std::max(highest_, peak);
    const float required = need > ceiling_ ? ceiling_ / need : 1.0f;
    required_[centre & kMask] = required;
    // The lowest required gain of the last kLookahead frames (a queue ascending in gain).
    while (queueTail_ != queueHead_ &&
           required_[minQueue_[(queueTail_ - 1) & kMask] & kMask] >= required)
      --queueTail_;
    minQueue_[queueTail_++ & kMask] = centre;
    if (minQueue_[queueHead_ & kMask] + kLookahead <= centre) ++queueHead_;
    const float lowest = required_[minQueue_[queueHead_ & kMask] & kMask];
    // It belongs to the oldest frame of that window; averaged over kLookahead such windows, the
    // gain of each frame is a smooth ramp that is never above what any frame of its windows needs.
    const std::size_t start = centre - (kLookahead - 1);
    const std::size_t leaving = start - kLookahead;
    windowSum_ += static_cast<double>(lowest) - static_cast<double>(windowMin_[leaving & kMask]);
    windowMin_[start & kMask] = lowest;
    if ((t & 4095) == 0) {  // rounding must not drift upwards over hours
      windowSum_ = 0.0;
      for (std::size_t i = 0; i < kLookahead; ++i) windowSum_ += windowMin_[(start - i) & kMask];
    }
    const float smooth = static_cast<float>(windowSum_ / static_cast<double>(kLookahead));
    gain_ = std::min(smooth, gain_ + (1.0f - gain_) * release_);
    const StereoFrame delayed = input_[(t - kLatency) & kMask];
    const float g = active ? gain_ : 1.0f;
    frame = {delayed.left * g, delayed.right * g};
  }
}

// --- Leveller ---

// Histogram mode: the gated measure keeps a fixed-size histogram rather than every block of a
// session that may last for days. The meter's own true peak is left out: it cost three times the
// rest of the meter (BENCHMARKS.md); the limiter estimates the peaks that matter.
struct Leveller::Meter {
  ebur128_state* state = ebur128_init(
      2, kOutputRate, EBUR128_MODE_M | EBUR128_MODE_S | EBUR128_MODE_I | EBUR128_MODE_HISTOGRAM);
  Meter() = default;
  ~Meter() {
    if (state != nullptr) ebur128_destroy(&state);
  }
  Meter(const Meter&) = delete;
  Meter& operator=(const Meter&) = delete;
};

Leveller::Leveller(std::optional<double> remembered)
    : meter_(std::make_unique<Meter>()),
      control_(remembered),
      applied_(fromDb(control_.gainDb())),
      dcStep_(1.0 - std::exp(-2.0 * std::numbers::pi * kDcCornerHz / kOutputRate)) {
  if (meter_->state == nullptr) meter_.reset();
}

Leveller::~Leveller() = default;

void Leveller::process(std::span<StereoFrame> frames, bool on) {
  // The audio less its DC: what the meter hears and the gain raises.
  ac_.resize(frames.size());
  for (std::size_t i = 0; i < frames.size(); ++i) {
    dcLeft_ += dcStep_ * (frames[i].left - dcLeft_);
    dcRight_ += dcStep_ * (frames[i].right - dcRight_);
    ac_[i] = {frames[i].left - static_cast<float>(dcLeft_),
              frames[i].right - static_cast<float>(dcRight_)};
  }
  if (meter_) {
    // In steps that end on the meter's 100 ms blocks.
    for (std::size_t done = 0; done < frames.size();) {
      const std::size_t n = std::min(frames.size() - done, kBlockFrames - inBlock_);
      ebur128_add_frames_float(meter_->state, &ac_[done].left, n);
      done += n;
      inBlock_ += n;
      frames_ += n;
      if (inBlock_ == kBlockFrames) endBlock();
    }
  } else {
    frames_ += frames.size();
  }
  // The gain moves in a straight line across the call, never in a step. Silence is not raised.
  float target = on ? fromDb(control_.gainDb()) : 1.0f;
  if (silent_) target = std::min(target, 1.0f);
  if (target != 1.0f || applied_ != 1.0f) {
    const float step =
        (target - applied_) / static_cast<float>(std::max<std::size_t>(frames.size(), 1));
    float g = applied_;
    for (std::size_t i = 0; i < frames.size(); ++i) {
      g += step;
      // The DC as it came, the rest times the gain.
      frames[i].left += (g - 1.0f) * ac_[i].left;
      frames[i].right += (g - 1.0f) * ac_[i].right;
    }
    applied_ = target;
  }
  limiter_.process(frames, on);
}

void Leveller::endBlock() {
  inBlock_ = 0;
  double value = 0.0;
  const bool heard = ebur128_loudness_momentary(meter_->state, &value) == EBUR128_SUCCESS &&
                     value > kAbsoluteGateLufs;
  silent_ = !heard;
  if (heard) gatedSeconds_ += static_cast<double>(kBlockFrames) / kOutputRate;
  if (ebur128_loudness_global(meter_->state, &value) == EBUR128_SUCCESS && std::isfinite(value))
    integrated_ = value;
  control_.advance(static_cast<double>(kBlockFrames) / kOutputRate, integrated_, gatedSeconds_);
}

std::optional<double> Leveller::momentary() const {
  double value = 0.0;
  if (!meter_ || ebur128_loudness_momentary(meter_->state, &value) != EBUR128_SUCCESS ||
      !std::isfinite(value))
    return std::nullopt;
  return value;
}

std::optional<double> Leveller::shortTerm() const {
  double value = 0.0;
  if (!meter_ || ebur128_loudness_shortterm(meter_->state, &value) != EBUR128_SUCCESS ||
      !std::isfinite(value))
    return std::nullopt;
  return value;
}

std::optional<double> Leveller::truePeakDb() const {
  const float peak = limiter_.highestPeak();
  if (peak <= 0.0f) return std::nullopt;
  return 20.0 * std::log10(static_cast<double>(peak));
}

bool Leveller::measured() const {
  return integrated_ && gatedSeconds_ >= LevelControl::kSettleSeconds;
}

bool Leveller::takeSaveDue() {
  if (!measured()) return false;
  if (savedAt_ >= 0.0 && seconds() - savedAt_ < kSaveEverySeconds) return false;
  savedAt_ = seconds();
  return true;
}

// --- LoudnessMemory ---

std::string LoudnessMemory::defaultPath() { return stateFilePath("loudness.tsv"); }

void LoudnessMemory::setPath(std::string path) {
  const std::lock_guard lock(mutex_);
  path_ = std::move(path);
}

std::optional<double> LoudnessMemory::loudnessFor(std::string_view address) {
  const std::lock_guard lock(mutex_);
  if (path_.empty() || !tsvFieldFits(address, kBounds)) return std::nullopt;
  const auto entries = loadTsv(path_, kBounds);
  if (!entries) return std::nullopt;
  for (auto it = entries->rbegin(); it != entries->rend(); ++it) {
    if (it->key != address) continue;
    double lufs = 0.0;
    const char* end = it->value.data() + it->value.size();
    const auto [ptr, ec] = std::from_chars(it->value.data(), end, lufs);
    // A value that is not a loudness the meter can give is no memory.
    if (ec != std::errc() || ptr != end || !(lufs > kAbsoluteGateLufs && lufs < 10.0))
      return std::nullopt;
    return lufs;
  }
  return std::nullopt;
}

void LoudnessMemory::remember(std::string_view address, double lufs) {
  std::array<char, 32> text{};
  const auto [ptr, ec] =
      std::to_chars(text.data(), text.data() + text.size(), lufs, std::chars_format::fixed, 1);
  if (ec != std::errc() || !std::isfinite(lufs)) return;
  const std::lock_guard lock(mutex_);
  if (path_.empty() || !tsvFieldFits(address, kBounds)) return;
  updateTsv(path_, kBounds, [&](std::vector<TsvEntry>& entries) {
    std::erase_if(entries, [&](const TsvEntry& e) { return e.key == address; });
    entries.push_back({std::string(address), std::string(text.data(), ptr)});
  });
}

}  // namespace radiolist::audio
