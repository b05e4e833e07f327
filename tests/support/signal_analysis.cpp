#include "support/signal_analysis.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <numbers>

namespace radiolist::test {

double rms(std::span<const float> samples) {
  if (samples.empty()) return 0.0;
  double sum = 0.0;
  for (const float s : samples) sum += static_cast<double>(s) * s;
  return std::sqrt(sum / static_cast<double>(samples.size()));
}

double goertzelPower(std::span<const float> samples, double frequency, double sampleRate) {
  const double w = 2.0 * std::numbers::pi * frequency / sampleRate;
  const double coeff = 2.0 * std::cos(w);
  double s1 = 0.0;
  double s2 = 0.0;
  for (const float x : samples) {
    const double s0 = x + coeff * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  // |X(w)|^2 from the last two states; exact for non-integer bins as well.
  return s1 * s1 + s2 * s2 - coeff * s1 * s2;
}

double toneShare(std::span<const float> samples, double frequency, double sampleRate) {
  double energy = 0.0;
  for (const float s : samples) energy += static_cast<double>(s) * s;
  if (energy <= 0.0) return 0.0;
  // A sine of amplitude A over N samples has |X|^2 = (A N / 2)^2 and energy A^2 N / 2.
  const double n = static_cast<double>(samples.size());
  return 2.0 * goertzelPower(samples, frequency, sampleRate) / (n * energy);
}

std::vector<float> sine(double frequency, double amplitude, std::size_t count, double sampleRate) {
  std::vector<float> out(count);
  for (std::size_t i = 0; i < count; ++i)
    out[i] = static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * frequency *
                                                     static_cast<double>(i) / sampleRate));
  return out;
}

std::vector<float> toFloat(std::span<const std::int16_t> pcm) {
  std::vector<float> out(pcm.size());
  std::transform(pcm.begin(), pcm.end(), out.begin(),
                 [](std::int16_t s) { return static_cast<float>(s) / 32768.0f; });
  return out;
}

std::vector<std::int16_t> toPcm16(std::span<const float> samples) {
  std::vector<std::int16_t> out(samples.size());
  std::transform(samples.begin(), samples.end(), out.begin(), [](float s) {
    const long v = std::clamp(std::lround(static_cast<double>(s) * 32768.0), -32768L, 32767L);
    return static_cast<std::int16_t>(v);
  });
  return out;
}

namespace {

void putLe(std::ofstream& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.put(static_cast<char>((value >> (8 * i)) & 0xFF));
}

}  // namespace

bool writeWav(const std::string& path, std::span<const float> samples, int sampleRate) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  const auto dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
  const auto rate = static_cast<std::uint32_t>(sampleRate);
  out.write("RIFF", 4);
  putLe(out, 36 + dataBytes, 4);
  out.write("WAVEfmt ", 8);
  putLe(out, 16, 4);  // fmt chunk size
  putLe(out, 1, 2);   // PCM
  putLe(out, 1, 2);   // mono
  putLe(out, rate, 4);
  putLe(out, rate * 2, 4);  // bytes per second
  putLe(out, 2, 2);         // block align
  putLe(out, 16, 2);        // bits per sample
  out.write("data", 4);
  putLe(out, dataBytes, 4);
  for (const std::int16_t s : toPcm16(samples)) putLe(out, static_cast<std::uint16_t>(s), 2);
  return static_cast<bool>(out.flush());
}

}  // namespace radiolist::test
