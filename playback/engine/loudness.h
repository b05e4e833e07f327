#pragma once
// Every station at the same loudness: each source's decoded audio is measured (EBU R128) and
// brought to kTargetLufs by a slow gain, with a true-peak limiter after it so that a raised quiet
// station never clips. The station's measured loudness is remembered per address (LoudnessMemory)
// so that it starts at its gain the next time.
//
// Threads: LevelControl and TruePeakLimiter are plain values. A Leveller belongs to one source's
// decoder thread. LoudnessMemory may be called from any thread but the window's.

#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "playback/engine/mixer.h"

namespace radiolist::audio {

// The gain of one station over its audio's time (a pure decision: tests drive it with any clock).
class LevelControl {
 public:
  static constexpr double kTargetLufs = -18.0;  // the ReplayGain 2 reference
  static constexpr double kMaxGainDb = 12.0;
  // Gated loudness a station heard for the first time needs before its gain leaves 0 dB.
  static constexpr double kSettleSeconds = 6.0;
  // How fast the first move goes (a jump of up to 12 dB would be heard as one).
  static constexpr double kSettleDbPerSecond = 8.0;
  // Afterwards the gain follows slowly, and only while it is off by more than the dead band, so
  // that the music's own dynamics stay.
  static constexpr double kFollowDbPerSecond = 0.5;
  static constexpr double kDeadBandLu = 1.0;

  // `remembered`: the station's integrated loudness from an earlier play; its gain holds from
  // the first sample.
  explicit LevelControl(std::optional<double> remembered = std::nullopt);

  // The gain that brings a loudness to the target, within the clamp.
  [[nodiscard]] static double gainFor(double lufs);

  // `elapsed` seconds of audio have passed; `integrated` is the gated integrated loudness so far
  // (nullopt while there is none) over `gatedSeconds` of audio above the absolute gate.
  // Returns the gain in dB from now on.
  double advance(double elapsed, std::optional<double> integrated, double gatedSeconds);
  [[nodiscard]] double gainDb() const { return gainDb_; }

 private:
  double gainDb_ = 0.0;
  bool settled_ = false;  // the first move to the measured gain is done (or was remembered)
};

// A lookahead limiter with a smooth gain envelope: no sample, and no peak between samples
// (estimated at 4x oversampling, with a margin for the estimate), exceeds kCeilingDb. Delays the
// audio by kLatency frames.
class TruePeakLimiter {
 public:
  static constexpr double kCeilingDb = -1.0;
  static constexpr std::size_t kLookahead = 128;  // frames, 2.9 ms: the attack
  static constexpr std::size_t kHalfTaps = 8;     // of the interpolator, each side
  static constexpr std::size_t kLatency = kHalfTaps + kLookahead - 1;

  TruePeakLimiter();
  // In place; with `active` false the audio passes unchanged (still delayed, so that switching
  // does not jump in time) while the detector keeps going.
  void process(std::span<StereoFrame> frames, bool active);
  // The highest peak of the audio given so far (linear): between samples where it came near the
  // ceiling, else the highest sample.
  [[nodiscard]] float highestPeak() const { return highest_; }

 private:
  static constexpr std::size_t kRing = 512;  // a power of two above every delay used
  static constexpr std::size_t kMask = kRing - 1;
  [[nodiscard]] float detect(std::size_t centre) const;

  std::array<StereoFrame, kRing> input_{};
  std::array<float, kRing> required_{};  // the gain each frame needs on its own
  std::array<float, kRing> windowMin_{};
  std::array<std::size_t, kRing> minQueue_{};  // frame indices, their required_ ascending
  std::size_t queueHead_ = 0;
  std::size_t queueTail_ = 0;
  double windowSum_ = 0.0;
  float lastPeak_ = 0.0f;
  float highest_ = 0.0f;
  // Quiet frames after which no window of the gain envelope holds a loud one.
  static constexpr std::size_t kQuietRun = 2 * kHalfTaps + 2 * kLookahead;
  std::size_t sinceLoud_ = kQuietRun;  // frames since one that may make a peak near the ceiling
  float gain_ = 1.0f;
  std::size_t count_ = kRing;  // frames seen, from kRing so that no index runs below zero
  float ceiling_;
  float quietBelow_;  // samples below this, all around, cannot make a peak above the ceiling
  float release_;
};

// Measures one source's audio and brings it to the target: meter, gain, limiter. Decoder thread.
// The gain applies to the audio less its DC (a slow average), and the meter hears the audio less
// its DC: a station's offset passes as it came, never raised towards full scale with a quiet
// programme over it. A signal the meter hears as silence gets no gain above 0 dB.
class Leveller {
 public:
  explicit Leveller(std::optional<double> remembered);
  ~Leveller();
  Leveller(const Leveller&) = delete;
  Leveller& operator=(const Leveller&) = delete;

  // Measures `frames` as decoded, then (when `on`) applies the gain and the limiter in place.
  void process(std::span<StereoFrame> frames, bool on);

  [[nodiscard]] double gainDb() const { return control_.gainDb(); }
  // Gated integrated loudness so far (nullopt below the gate) and how much audio passed it.
  [[nodiscard]] std::optional<double> integrated() const { return integrated_; }
  [[nodiscard]] double gatedSeconds() const { return gatedSeconds_; }
  [[nodiscard]] double seconds() const { return static_cast<double>(frames_) / kOutputRate; }
  // Momentary (400 ms) and short-term (3 s) loudness; the highest true peak (dBTP) of the audio
  // after the gain (TruePeakLimiter::highestPeak).
  [[nodiscard]] std::optional<double> momentary() const;
  [[nodiscard]] std::optional<double> shortTerm() const;
  [[nodiscard]] std::optional<double> truePeakDb() const;
  // Whether the measure is settled (kSettleSeconds of gated loudness): worth remembering.
  [[nodiscard]] bool measured() const;
  // True once a settled measure has not been kept for kSaveEverySeconds of audio; clears it.
  bool takeSaveDue();
  static constexpr double kSaveEverySeconds = 30.0;

 private:
  static constexpr std::size_t kBlockFrames = kOutputRate / 10;  // the meter's 100 ms step
  // The DC average's corner: far below any music, so the gain of its lowest notes stays.
  static constexpr double kDcCornerHz = 2.0;
  void endBlock();

  struct Meter;  // libebur128's state
  std::unique_ptr<Meter> meter_;
  LevelControl control_;
  TruePeakLimiter limiter_;
  float applied_ = 1.0f;  // linear gain at the end of the last call
  // The DC of each channel (a one-pole low-pass), and the audio of the call less it.
  double dcLeft_ = 0.0;
  double dcRight_ = 0.0;
  double dcStep_;
  std::vector<StereoFrame> ac_;
  bool silent_ = false;  // the meter's last momentary loudness was below its gate
  std::optional<double> integrated_;
  double gatedSeconds_ = 0.0;
  std::size_t frames_ = 0;
  std::size_t inBlock_ = 0;
  double savedAt_ = -1.0;  // seconds() at the last save due
};

// The measured loudness per address, in one small text file (tsv_file.h): the address, a TAB,
// the integrated loudness in LUFS. Bounded as PageMemory is.
class LoudnessMemory {
 public:
  static constexpr std::size_t kMaxEntries = 2000;
  static constexpr std::size_t kMaxFieldBytes = 1024;

  // `path` of the file; "" remembers nothing.
  explicit LoudnessMemory(std::string path) : path_(std::move(path)) {}
  // $XDG_STATE_HOME/radiolist/loudness.tsv, else ~/.local/state/radiolist/loudness.tsv.
  static std::string defaultPath();

  // The loudness remembered for `address`; nothing when none (or the file is unusable: a file
  // that is not a regular file is refused at once, and said so).
  [[nodiscard]] std::optional<double> loudnessFor(std::string_view address);
  // Keeps `lufs` for `address` as its newest line; the file is replaced as a whole.
  void remember(std::string_view address, double lufs);
  void setPath(std::string path);

 private:
  std::mutex mutex_;
  std::string path_;  // guarded by mutex_
};

}  // namespace radiolist::audio
