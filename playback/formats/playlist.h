#pragma once
// Playlists that stand where a stream address should: M3U (plain and extended), PLS, XSPF and
// ASX, and Windows Media "[Reference]" files, which servers send with the ASX types. Pure C++:
// bytes in, addresses out; no I/O, no threads, linear in the input and safe on any bytes.
//
// The engine calls classifyBody() on the first bytes of every response. For `Playlist` it reads
// the body (at most kMaxPlaylistBytes) and tries playlistEntries() in order, each entry being a
// new response to classify (an ASX entryref names another playlist: the caller bounds how deep
// it follows). `Hls` goes to the HLS demuxer, through hls::guardPlaylist().

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace radiolist::formats {

// The caller reads at most this much of a body it takes for a playlist.
inline constexpr std::size_t kMaxPlaylistBytes = 256 * 1024;
// Longer entries are left out: the network layer refuses such addresses anyway.
inline constexpr std::size_t kMaxEntryBytes = 16 * 1024;
// No real playlist comes near this; entries beyond it are left out.
inline constexpr std::size_t kMaxEntries = 65'536;

enum class BodyKind { Media, Playlist, Hls };

// What a response is, from its content type (lower-cased media type without parameters, "" when
// absent; parameters and case are tolerated all the same) and its first body bytes (whatever
// arrived, at least ~1 KiB unless the body is shorter). The body decides over the type: MP3,
// ADTS, Ogg, FLAC, MP4, MPEG-TS, RIFF and ASF data is Media under any type; a recognisable
// playlist is Playlist under any type; an M3U with HLS tags is Hls. Text that starts with the
// M3U header is Playlist or Hls whatever bytes follow. Other text is Playlist only
// under a playlist type, and never when it is markup (an HTML page is Media: the decoder refuses
// it).
[[nodiscard]] BodyKind classifyBody(std::string_view contentType, std::string_view firstBytes);

// The entries of a playlist body, in order, as absolute http/https URLs (relative ones resolved
// against baseUrl, the playlist's own effective URL); other schemes are left out. At most
// `maxEntries` (and never more than kMaxEntries): each may be as long as kMaxEntryBytes.
[[nodiscard]] std::vector<std::string> playlistEntries(std::string_view body,
                                                       std::string_view baseUrl,
                                                       std::size_t maxEntries = kMaxEntries);

// --- The pieces, for tests and for callers that want to know more. ---

enum class PlaylistFormat { Unknown, M3u, Pls, Xspf, Asx, Reference };

// The format a body's text shows (a UTF-8 or UTF-16 byte-order mark allowed), or Unknown.
// A plain M3U is only recognised when its first entry is an absolute address.
[[nodiscard]] PlaylistFormat sniffPlaylist(std::string_view body);

// True for the content types servers give playlists (M3U, PLS, XSPF, ASX and their variants).
[[nodiscard]] bool isPlaylistContentType(std::string_view contentType);

// `reference` as an absolute http or https URL: taken as is when absolute (scheme lower-cased),
// else resolved against `base` as a browser would. Surrounding blanks are trimmed and inner
// spaces escaped; empty references, other schemes, control characters, a missing host and
// anything longer than kMaxEntryBytes give nothing.
[[nodiscard]] std::optional<std::string> resolveUrl(std::string_view base,
                                                    std::string_view reference);

}  // namespace radiolist::formats
