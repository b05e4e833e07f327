#include "playback/engine/demuxer_choice.h"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "text/ascii.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace radiolist::audio {

namespace {

// Calls f(item) for each item of a comma-separated list; stops when f returns true.
template <typename F>
bool anyItem(std::string_view list, F f) {
  while (!list.empty()) {
    const auto comma = list.find(',');
    if (f(list.substr(0, comma))) return true;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return false;
}

}  // namespace

bool isAllowedDemuxer(std::string_view name) {
  return anyItem(name, [](std::string_view item) {
    return !item.empty() &&
           anyItem(kAllowedDemuxers, [&](std::string_view allowed) { return allowed == item; });
  });
}

std::string_view demuxerForContentType(std::string_view contentType) {
  std::string type;
  for (char c : contentType.substr(0, contentType.find(';'))) {
    if (c != ' ' && c != '\t') type.push_back(text::lower(c));
  }
  struct Entry {
    std::string_view type;
    std::string_view demuxer;
  };
  static constexpr std::array<Entry, 15> kTable{{
      {"audio/mpeg", "mp3"},
      {"audio/mp3", "mp3"},
      {"audio/x-mpeg", "mp3"},
      {"audio/mpeg3", "mp3"},
      {"audio/aac", "aac"},
      {"audio/aacp", "aac"},
      {"audio/x-aac", "aac"},
      {"audio/ogg", "ogg"},
      {"application/ogg", "ogg"},
      {"audio/x-ogg", "ogg"},
      {"audio/flac", "flac"},
      {"audio/x-flac", "flac"},
      {"audio/mp4", "mp4"},
      {"audio/x-m4a", "mp4"},
      {"audio/m4a", "mp4"},
  }};
  for (const Entry& e : kTable) {
    if (e.type == type) return e.demuxer;
  }
  return {};
}

std::string_view chooseDemuxer(std::string_view probed, int score, std::string_view byContentType,
                               bool lastRound) {
  if (!isAllowedDemuxer(probed)) probed = {};
  if (!probed.empty() && score > AVPROBE_SCORE_RETRY) return probed;
  if (!byContentType.empty()) return byContentType;
  if (lastRound && score > 0) return probed;
  return {};
}

const AVInputFormat* probeAllowedFormat(std::span<const std::uint8_t> prefix,
                                        std::string_view contentType, bool lastRound) {
  if (prefix.empty()) return nullptr;
  std::vector<std::uint8_t> padded(prefix.size() + AVPROBE_PADDING_SIZE, 0);
  std::copy(prefix.begin(), prefix.end(), padded.begin());
  AVProbeData probe{};
  probe.filename = "";
  probe.buf = padded.data();
  probe.buf_size = static_cast<int>(prefix.size());
  int score = 0;
  const AVInputFormat* guess = av_probe_input_format3(&probe, 1, &score);
  const std::string_view probedName = guess != nullptr ? guess->name : "";
  const std::string_view choice =
      chooseDemuxer(probedName, score, demuxerForContentType(contentType), lastRound);
  if (choice.empty()) return nullptr;
  if (guess != nullptr && choice.data() == probedName.data()) return guess;
  return av_find_input_format(std::string(choice).c_str());
}

}  // namespace radiolist::audio
