// Any body under any content type, as the engine meets it: a body that starts with the M3U header
// never goes to the decoder, and the decoder's probe only ever picks an allowed demuxer, one that
// FFmpeg's own format whitelist (the same list) lets through.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>

#include "playback/engine/demuxer_choice.h"
#include "playback/formats/playlist.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/avstring.h>
#include <libavutil/log.h>
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace radiolist;
  static constexpr std::array<std::string_view, 8> kTypes = {
      "",          "audio/mpeg",      "audio/aacp", "application/ogg",
      "audio/mp4", "application/sdp", "text/plain", "application/vnd.apple.mpegurl"};
  static const bool quiet = (av_log_set_level(AV_LOG_QUIET), true);
  (void)quiet;
  if (size == 0) return 0;
  const std::string_view type = kTypes[data[0] % kTypes.size()];
  const bool lastRound = (data[0] & 0x80) != 0;
  const std::span body(data + 1, size - 1);
  const std::string_view text(reinterpret_cast<const char*>(body.data()), body.size());

  const auto kind = formats::classifyBody(type, text.substr(0, 1024));
  if (text.starts_with("#EXTM3U") && kind == formats::BodyKind::Media) std::abort();

  // The probe runs on up to 32 KiB, as the decoder's last round does.
  const AVInputFormat* format = audio::probeAllowedFormat(
      body.first(std::min<std::size_t>(body.size(), 32768)), type, lastRound);
  if (format != nullptr && (!audio::isAllowedDemuxer(format->name) ||
                            av_match_list(format->name, audio::kAllowedDemuxers, ',') <= 0))
    std::abort();
  return 0;
}
