#pragma once
// Which of the two creation calls plays a probed stream. Pure.

#include <cstdint>
#include <string_view>

namespace radiolist::audio {

enum class Family : std::uint8_t {
  Undecided,   // not probed yet
  General,     // played by BASS_StreamCreateURL
  Aac,         // played by BASS_AAC_StreamCreateURL: AAC (ADTS, LATM, HE-AAC) and MP4/M4A
  Unplayable,  // probing or opening the decoder failed; neither call plays it
};

enum class CreationKind : std::uint8_t { General, Aac };

// `container` is FFmpeg's demuxer name (AVInputFormat::name, e.g. "mp3", "aac", "loas",
// "mov,mp4,m4a,3gp,3g2,mj2"), `codec` its codec name (avcodec_get_name, e.g. "mp3", "aac",
// "aac_latm"). An empty codec means no audio stream was found.
[[nodiscard]] Family classifyFamily(std::string_view container, std::string_view codec);

// "general", "aac", ...: for log lines.
[[nodiscard]] const char* familyName(Family family);

// True when a channel made by `kind` plays a stream of `family`.
[[nodiscard]] constexpr bool kindPlays(CreationKind kind, Family family) {
  return (kind == CreationKind::General && family == Family::General) ||
         (kind == CreationKind::Aac && family == Family::Aac);
}

}  // namespace radiolist::audio
