#pragma once
// Titles from ID3v2 tags, as HLS streams carry them: at the start of each packed-audio segment
// (MP3, AAC) and as timed-metadata packets in MPEG-TS segments. Pure functions on bytes; every
// read is bounded by the span given, whatever the tag claims.

#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "playback/song_title.h"

namespace radiolist::hls {

// Size of the ID3v2 tag that `head` begins with: header, body and footer, as the header states
// it. 0 when `head` does not begin with a plausible ID3v2 header (fewer than 10 bytes, wrong
// magic, version byte 0xFF, size bytes that are not synchsafe). The tag may run past `head`.
[[nodiscard]] std::size_t id3TagSize(std::span<const std::byte> head);

// The song the tag's TPE1 and TIT2 frames (v2.2: TP1, TT2) name, as songTitleFromTags makes it
// (the text "ARTIST - TITLE", or the one present when the other is missing or empty); nullopt
// when neither is there or the bytes are no ID3v2 tag. Text is given out as UTF-8 from
// ISO-8859-1, UTF-16 with a byte-order mark, UTF-16BE or UTF-8; of several strings in one frame
// (v2.4) the first is taken. Handles unsynchronisation (whole tag in v2.3, per frame in v2.4),
// the extended header and frame flags; compressed and encrypted frames are skipped. A tag cut
// short by the end of `tag` is read as far as it goes.
[[nodiscard]] std::optional<SongTitle> songTitleFromId3(std::span<const std::byte> tag);

// The title of a timed-metadata packet (an MPEG-TS stream of codec AV_CODEC_ID_TIMED_ID3).
// FFmpeg 5.1's MPEG-TS demuxer drops the first 5 bytes of every PES payload of stream type 0x15,
// taking them for a metadata access-unit header, which for the usual carriage cuts "ID3" and
// the version off the tag; such a cut tag is recognised and read as well. Of several tags in one
// packet the last with a title wins.
[[nodiscard]] std::optional<SongTitle> titleFromTimedId3(std::span<const std::byte> data);

}  // namespace radiolist::hls
