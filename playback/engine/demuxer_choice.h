#pragma once
// Which FFmpeg demuxer reads a stream body. A body comes from anyone's server, so only the audio
// containers a radio stream uses are ever chosen: FFmpeg's other demuxers include file lists
// (concat), session descriptions (sdp: binds UDP ports), playlists (hls: its own HTTP client)
// and image sequences, all of which open further resources by name.
//
// Pure except probeAllowedFormat, which runs FFmpeg's probe on bytes in memory.

#include <cstdint>
#include <span>
#include <string_view>

extern "C" {
struct AVInputFormat;
}

namespace radiolist::audio {

// FFmpeg's names of the allowed demuxers, in the form of its format_whitelist option. One name
// per demuxer would do for FFmpeg; mp4 and m4a are there for the content-type table's sake.
inline constexpr char kAllowedDemuxers[] = "mp3,aac,loas,ogg,flac,mov,mp4,m4a,mpegts,wav,asf";

// True when `name` (a demuxer name, or FFmpeg's comma-separated list of one demuxer's names)
// names an allowed demuxer; matched as FFmpeg matches its whitelist, whole names only.
[[nodiscard]] bool isAllowedDemuxer(std::string_view name);

// The demuxer that a response's content type names ("mp3", "aac", "ogg", ...), "" when it names
// none we trust. Parameters after ';' and case do not matter.
[[nodiscard]] std::string_view demuxerForContentType(std::string_view contentType);

// Which demuxer to open after probing the first bytes: the data's best guess when FFmpeg is sure
// of it (score above 25, its own retry threshold), else the content type's demuxer, else the
// guess once no more data will be probed. A guess that is not allowed counts as no guess.
// "" means: probe more data (or give up when `lastRound`).
[[nodiscard]] std::string_view chooseDemuxer(std::string_view probed, int score,
                                             std::string_view byContentType, bool lastRound);

// FFmpeg's probe over `prefix` (the first bytes of a body), decided by chooseDemuxer: an allowed
// demuxer, or nullptr for "probe more" (or "unplayable" when `lastRound`).
[[nodiscard]] const AVInputFormat* probeAllowedFormat(std::span<const std::uint8_t> prefix,
                                                      std::string_view contentType, bool lastRound);

}  // namespace radiolist::audio
