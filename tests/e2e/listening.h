#pragma once
// What the end-to-end tests listen for on the sink, and the channel directory they start the
// program in.

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <span>
#include <string>

#include "support/signal_analysis.h"
#include "support/sink_recorder.h"

namespace radiolist::test::e2e {

inline constexpr double kRate = SinkRecorder::kSampleRate;

// The 440 Hz (MP3) channel alone, the 880 Hz (AAC) channel alone, nothing at all.
inline bool only440(std::span<const float> s) {
  return toneShare(s, 440, kRate) > 0.5 && toneShare(s, 880, kRate) < 0.05;
}
inline bool only880(std::span<const float> s) {
  return toneShare(s, 880, kRate) > 0.5 && toneShare(s, 440, kRate) < 0.05;
}
inline bool silent(std::span<const float> s) { return rms(s) < 1e-3; }

// A fresh directory under the system's temporary directory holding Name.txt and url.txt with
// the given bytes and imag/ with the repository's glyphs.
inline std::filesystem::path makeChannelDir(const std::string& tag, const std::string& names,
                                            const std::string& urls,
                                            const std::filesystem::path& sourceDir) {
  namespace fs = std::filesystem;
  const fs::path dir =
      fs::temp_directory_path() / ("radiolist-" + tag + "-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "imag");
  for (const char* glyph : {"glossyicon.bmp", "delete.bmp", "play.bmp", "stop.bmp"})
    fs::copy_file(sourceDir / "imag" / glyph, dir / "imag" / glyph);
  std::ofstream(dir / "Name.txt", std::ios::binary) << names;
  std::ofstream(dir / "url.txt", std::ios::binary) << urls;
  return dir;
}

}  // namespace radiolist::test::e2e
