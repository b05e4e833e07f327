#pragma once
// Cuts a live Ogg byte stream into whole pages and tells where a new chained link begins.
//
// Icecast's Ogg mounts announce a new song by ending one Ogg stream and starting the next in the
// same body: a new group of BOS pages with new serial numbers and new comment headers. A
// demuxer that has seen one link's headers cannot simply read on into the next, so the reader
// of the stream feeds its bytes through a ChainSplitter, hands each page on to its demuxer and,
// at a page with newLink set, ends that demuxer and opens a fresh one on the bytes from that page
// on. The song's ARTIST and TITLE comments come out as the song's title (artist and title apart).
//
// Pure: no I/O, no FFmpeg. Not thread-safe; one owner. Memory: the bytes pushed and not yet
// returned as pages (call nextPage() until nullopt after each push and fewer than kMaxPageBytes
// stay pending; the buffer holds at most about twice that plus one push), plus at most
// kMaxPacketBytes of one comment packet.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "playback/song_title.h"

namespace radiolist::ogg {

// An Ogg page is at most 27 header bytes, 255 lacing values and 255 * 255 body bytes.
inline constexpr std::size_t kMaxPageBytes = 27 + 255 + 255 * 255;
// What is kept of one comment packet; the rest (typically an embedded cover picture) is skipped.
inline constexpr std::size_t kMaxPacketBytes = 256 * 1024;
// What is kept of one ARTIST or TITLE value, in bytes (cut on a UTF-8 character boundary).
inline constexpr std::size_t kMaxValueBytes = 1024;

class ChainSplitter {
 public:
  // Bytes as they arrive, in pieces of any size.
  void push(std::span<const std::byte> bytes);

  struct Page {
    std::vector<std::byte> bytes;  // one whole page, header included
    bool newLink = false;          // first BOS page of a link that follows an earlier link
  };
  // The next whole page, nullopt until one is complete. Bytes that are not part of a page whose
  // header and checksum hold (before the first page, or after a lost sync) are skipped. A false
  // "OggS" that claims a long page holds back the pages after it only until one of them is
  // complete; a page whose body holds another whole valid page is taken for such a false one.
  std::optional<Page> nextPage();

  // For the newest link whose comment header is complete among the pages returned so far: its
  // title, once (nullopt when nothing new since the last call). A link with neither ARTIST nor
  // TITLE gives an empty title when it follows another link, and nothing when it is the stream's
  // first. The comments are those of the link's first Vorbis, Opus or FLAC stream.
  std::optional<SongTitle> takeTitle();

  // Bytes pushed and not yet returned or skipped (for callers and tests that watch memory).
  [[nodiscard]] std::size_t pendingBytes() const { return input_.size() - readPos_; }
  // Bytes skipped so far because they belonged to no valid page.
  [[nodiscard]] std::uint64_t skippedBytes() const { return skipped_; }

 private:
  enum class Codec { Unknown, Vorbis, Opus, Flac };

  enum class Check { Page, NotAPage, NeedMore };
  // Moves readPos_ to the next page and gives its size, or nullopt (more bytes needed).
  std::optional<std::size_t> findPage();
  Check checkPage(std::size_t at, std::size_t& size) const;
  [[nodiscard]] std::size_t findCapture(std::size_t from) const;  // input_.size() when none
  void skipTo(std::size_t at);
  void trackComments(std::span<const std::byte> page);
  void startLink(bool followsAnother);
  void onPacketPiece(std::span<const std::byte> piece, bool ends);
  void onPacket(std::span<const std::byte> packet);

  // Input not yet consumed lives in input_[readPos_, end).
  std::vector<std::byte> input_;
  std::size_t readPos_ = 0;
  std::uint64_t skipped_ = 0;
  // While the candidate page at lookaheadFor_ is incomplete: input_ before lookaheadFrom_ holds
  // no whole valid page after it.
  std::size_t lookaheadFor_ = SIZE_MAX;
  std::size_t lookaheadFrom_ = 0;

  // Link boundaries: whether the previous page returned was a BOS page, and whether any page was.
  bool lastWasBos_ = false;
  bool anyPage_ = false;

  // Comment tracking for the current link's first logical stream of a codec we know.
  std::optional<std::uint32_t> serial_;
  Codec codec_ = Codec::Unknown;
  std::uint32_t nextSeq_ = 0;
  std::size_t packetIndex_ = 0;    // packets completed in this stream
  std::vector<std::byte> packet_;  // the packet being reassembled (at most kMaxPacketBytes)
  bool inPacket_ = false;          // packet_ holds the start of a packet that goes on
  bool packetFull_ = false;        // the packet went over the cap and has been dealt with
  bool commentsDone_ = true;       // nothing more to learn from this link
  bool followsAnother_ = false;    // this link came after an earlier one in the same body
  std::optional<SongTitle> title_;
};

// The Ogg CRC-32 of a whole page (polynomial 0x04c11db7, not reflected, initial value 0), as
// computed with the page's own checksum field taken as zero.
[[nodiscard]] std::uint32_t pageChecksum(std::span<const std::byte> page);

struct SongComments {
  std::optional<std::string> artist;
  std::optional<std::string> title;
};
// Reads ARTIST and TITLE (keys in any case, the first non-empty of each) from the body of a
// Vorbis comment block: vendor length and string, count, then length-prefixed "KEY=value"
// entries, all lengths 32-bit little-endian. A block cut short yields what came before the cut.
[[nodiscard]] SongComments readVorbisComments(std::span<const std::byte> block);

// The song the comments name (songTitleFromTags); nullopt with neither ARTIST nor TITLE.
[[nodiscard]] std::optional<SongTitle> songTitleOf(const SongComments& comments);

}  // namespace radiolist::ogg
