#pragma once
// What an HLS playlist may cost before FFmpeg's demuxer sees it. The demuxer keeps an absolute
// address (up to 4 KiB) and a record for every segment, and fetches every variant and rendition
// of a master playlist before playing one; a hostile playlist turns that into gigabytes and
// thousands of requests. Every playlist body we hand it (the first, variants, reloads) passes
// through guardPlaylist() first. Pure: text in, text out.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace radiolist::hls {

// A live radio playlist is a few KiB; one with hours of rewind at 2 s segments about 300 KiB.
inline constexpr std::size_t kMaxPlaylistBytes = 1024 * 1024;
// Segments of one media playlist: a live radio playlist lists a handful, and even four hours of
// rewind at 6 s segments are 2,400.
inline constexpr std::size_t kMaxSegments = 5000;
// The segments' addresses once resolved against the playlist's own address, together: what
// the demuxer holds for them. Real playlists (short addresses) reach kMaxSegments long before.
inline constexpr std::size_t kMaxResolvedBytes = 8 * 1024 * 1024;

// True when a body starts as an extended M3U does ("#EXTM3U", after a UTF-8 byte-order mark).
[[nodiscard]] bool looksLikeHlsPlaylist(std::string_view firstBytes);

// The playlist as the demuxer should get it, or nullopt when it is refused: longer than
// kMaxPlaylistBytes, more than kMaxSegments segments, or more than kMaxResolvedBytes of
// addresses (each counted as `baseUrlBytes`, the playlist's own address, plus its line).
// A master playlist keeps one variant: the highest BANDWIDTH among the audio-only ones (CODECS
// naming no video codec), else among all; ties go to the first. Of its renditions it keeps one
// audio rendition of the variant's AUDIO group (the DEFAULT=YES one, else the first); other
// renditions and I-frame playlists go.
[[nodiscard]] std::optional<std::string> guardPlaylist(std::string_view body,
                                                       std::size_t baseUrlBytes);

}  // namespace radiolist::hls
