// Measurements on mono PCM for tests that listen to what was played: loudness (RMS) and how much
// of a signal's power sits at one frequency (Goertzel). Samples are floats at full scale 1.0.
//
// Typical judgements on 100-500 ms of a recorded test tone:
//   toneShare(s, 440) > 0.5            440 Hz dominates
//   toneShare(s, 880) > 0.1            880 Hz is present (e.g. while two streams mix)
//   toneShare(s, 440) < 0.05           440 Hz is absent
//   rms(s) < 1e-3                      silence (the test tones play at about 0.09 RMS)
// A pure, stationary tone gives a share close to 1; lossy coding, a start or end of the tone in
// the window, or a second tone lower it. Use windows of at least 50 ms: the Goertzel filter's
// resolution is about 1 / window length (10 Hz for 100 ms).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace radiolist::test {

// Root mean square; 0 for an empty buffer. A full-scale sine gives 1/sqrt(2).
[[nodiscard]] double rms(std::span<const float> samples);

// Squared magnitude of the signal's discrete Fourier component at `frequency` (Hz), computed with
// the Goertzel recurrence; any frequency, not only bin centres.
[[nodiscard]] double goertzelPower(std::span<const float> samples, double frequency,
                                   double sampleRate);

// The share of the signal's power at `frequency`: 2 * goertzelPower / (N * sum of squares).
// 1 for a pure sine at that frequency spanning the window, about 0 when the frequency is absent,
// 0 for silence. Shares of two tones a few bins apart add up to about 1.
[[nodiscard]] double toneShare(std::span<const float> samples, double frequency, double sampleRate);

// A sine of `amplitude` (full scale 1.0), `frequency` Hz, `count` samples.
[[nodiscard]] std::vector<float> sine(double frequency, double amplitude, std::size_t count,
                                      double sampleRate);

// Converts between 16-bit PCM and floats at full scale 1.0 (32768 maps to 1.0).
[[nodiscard]] std::vector<float> toFloat(std::span<const std::int16_t> pcm);
[[nodiscard]] std::vector<std::int16_t> toPcm16(std::span<const float> samples);

// Writes a canonical 44-byte-header WAV file, 16-bit PCM, mono. Returns false on I/O failure.
[[nodiscard]] bool writeWav(const std::string& path, std::span<const float> samples,
                            int sampleRate);

}  // namespace radiolist::test
