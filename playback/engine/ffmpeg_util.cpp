#include "playback/engine/ffmpeg_util.h"

#include <cstdlib>
#include <mutex>

#include "playback/engine/log_domains.h"
#include "playback/log/log.h"

extern "C" {
#include <libavutil/log.h>
}

namespace radiolist::audio {

int checked(int result, const char* call) {
  if (result >= 0 || result == AVERROR_EOF || result == AVERROR(EAGAIN) || result == AVERROR_EXIT)
    return result;
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(result, text, sizeof text);
  log::write(audio::kDecodeLog, call, " failed: ", text);
  return result;
}

void quietFfmpegLogUnlessDebugging() {
  static std::once_flag once;
  std::call_once(once, [] {
    av_log_set_level(std::getenv("RADIOLIST_AUDIO_DEBUG") != nullptr ? AV_LOG_INFO : AV_LOG_QUIET);
  });
}

}  // namespace radiolist::audio
