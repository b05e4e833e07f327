#include "playback/ogg/ogg_chain.h"
#include "text/ascii.h"
#include "text/utf8.h"

#include <algorithm>
#include <array>
#include <utility>

namespace radiolist::ogg {
namespace {

constexpr std::size_t kHeaderBytes = 27;
constexpr std::size_t kChecksumAt = 22;
constexpr std::byte kContinued{0x01};
constexpr std::byte kBos{0x02};

constexpr std::array<std::uint32_t, 256> makeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t r = i << 24;
    for (int bit = 0; bit < 8; ++bit) r = (r & 0x80000000u) != 0 ? (r << 1) ^ 0x04c11db7u : r << 1;
    table[i] = r;
  }
  return table;
}
constexpr auto kCrcTable = makeCrcTable();

std::uint32_t readLe32(std::span<const std::byte> p) {
  return std::to_integer<std::uint32_t>(p[0]) | std::to_integer<std::uint32_t>(p[1]) << 8 |
         std::to_integer<std::uint32_t>(p[2]) << 16 | std::to_integer<std::uint32_t>(p[3]) << 24;
}

bool startsWith(std::span<const std::byte> data, std::string_view prefix) {
  return data.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), data.begin(),
                    [](char c, std::byte b) { return static_cast<std::byte>(c) == b; });
}

using text::lower;

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace

std::uint32_t pageChecksum(std::span<const std::byte> page) {
  std::uint32_t crc = 0;
  for (std::size_t i = 0; i < page.size(); ++i) {
    const bool inField = i >= kChecksumAt && i < kChecksumAt + 4;
    const auto b = inField ? 0u : std::to_integer<std::uint32_t>(page[i]);
    crc = (crc << 8) ^ kCrcTable[((crc >> 24) ^ b) & 0xff];
  }
  return crc;
}

SongComments readVorbisComments(std::span<const std::byte> block) {
  SongComments found;
  std::span<const std::byte> rest = block;
  // Takes a length-prefixed field off the front; nullopt when the block ends first.
  const auto field = [&rest]() -> std::optional<std::span<const std::byte>> {
    if (rest.size() < 4) return std::nullopt;
    const std::uint32_t len = readLe32(rest);
    rest = rest.subspan(4);
    if (len > rest.size()) return std::nullopt;
    const auto f = rest.first(len);
    rest = rest.subspan(len);
    return f;
  };
  if (!field()) return found;  // vendor string
  if (rest.size() < 4) return found;
  std::uint32_t count = readLe32(rest);
  rest = rest.subspan(4);
  for (; count > 0 && !(found.artist && found.title); --count) {
    const auto entry = field();
    if (!entry) break;
    const std::string_view text(reinterpret_cast<const char*>(entry->data()), entry->size());
    const std::size_t eq = text.find('=');
    if (eq == std::string_view::npos || eq + 1 == text.size()) continue;
    const std::string_view key = text.substr(0, eq);
    const bool isArtist = equalsIgnoringCase(key, "artist");
    if (!isArtist && !equalsIgnoringCase(key, "title")) continue;
    auto& slot = isArtist ? found.artist : found.title;
    if (!slot) slot = utf8::oneLineCapped(text.substr(eq + 1), kMaxValueBytes);
  }
  return found;
}

std::optional<SongTitle> songTitleOf(const SongComments& comments) {
  if (!comments.artist && !comments.title) return std::nullopt;
  return songTitleFromTags(comments.artist.value_or(""), comments.title.value_or(""));
}

void ChainSplitter::push(std::span<const std::byte> bytes) {
  if (readPos_ == input_.size()) {
    input_.clear();
    readPos_ = 0;
    // One huge push must not pin its memory for the rest of the stream.
    if (input_.capacity() > 4 * kMaxPageBytes) input_.shrink_to_fit();
  } else if (readPos_ >= 4096 && readPos_ * 2 >= input_.size()) {
    // Amortised: the kept tail is at most as long as what is dropped.
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(readPos_));
    lookaheadFor_ -= std::min(lookaheadFor_, readPos_);
    lookaheadFrom_ -= std::min(lookaheadFrom_, readPos_);
    readPos_ = 0;
  }
  input_.insert(input_.end(), bytes.begin(), bytes.end());
}

ChainSplitter::Check ChainSplitter::checkPage(std::size_t at, std::size_t& size) const {
  const std::span<const std::byte> page(input_.data() + at, input_.size() - at);
  if (page.size() < kHeaderBytes) return Check::NeedMore;
  if (page[4] != std::byte{0} || (page[5] & std::byte{0xf8}) != std::byte{0})
    return Check::NotAPage;
  const std::size_t segments = std::to_integer<std::size_t>(page[26]);
  if (page.size() < kHeaderBytes + segments) return Check::NeedMore;
  size = kHeaderBytes + segments;
  for (std::size_t i = 0; i < segments; ++i)
    size += std::to_integer<std::size_t>(page[kHeaderBytes + i]);
  if (page.size() < size) return Check::NeedMore;
  return readLe32(page.subspan(kChecksumAt)) == pageChecksum(page.first(size)) ? Check::Page
                                                                               : Check::NotAPage;
}

std::size_t ChainSplitter::findCapture(std::size_t from) const {
  static constexpr std::array<std::byte, 4> kCapture{std::byte{'O'}, std::byte{'g'}, std::byte{'g'},
                                                     std::byte{'S'}};
  const auto begin = input_.begin() + static_cast<std::ptrdiff_t>(std::min(from, input_.size()));
  return static_cast<std::size_t>(
      std::search(begin, input_.end(), kCapture.begin(), kCapture.end()) - input_.begin());
}

void ChainSplitter::skipTo(std::size_t at) {
  skipped_ += at - readPos_;
  readPos_ = at;
}

std::optional<std::size_t> ChainSplitter::findPage() {
  for (;;) {
    const std::size_t at = findCapture(readPos_);
    if (at == input_.size()) {
      // Keep a tail that may be the start of a capture pattern cut by the push.
      skipTo(std::max(readPos_, input_.size() - std::min<std::size_t>(input_.size(), 3)));
      return std::nullopt;
    }
    skipTo(at);
    std::size_t size = 0;
    switch (checkPage(at, size)) {
      case Check::Page: return size;
      case Check::NotAPage:
        skipTo(at + 1);  // "OggS" in audio data or in a page we lost the start of
        continue;
      case Check::NeedMore: break;
    }
    // A false capture pattern may claim up to 64 KiB; rather than stall that long, a whole valid
    // page further on shows that this one was not real (a page never holds another whole page).
    if (lookaheadFor_ != at) {
      lookaheadFor_ = at;
      lookaheadFrom_ = at + 1;
    }
    for (;;) {
      const std::size_t next = findCapture(lookaheadFrom_);
      if (next == input_.size()) {
        lookaheadFrom_ = std::max(at + 1, input_.size() - std::min<std::size_t>(input_.size(), 3));
        return std::nullopt;
      }
      const Check check = checkPage(next, size);
      if (check == Check::NeedMore) {
        lookaheadFrom_ = next;
        return std::nullopt;
      }
      if (check == Check::Page) {
        skipTo(next);
        return size;
      }
      lookaheadFrom_ = next + 1;
    }
  }
}

std::optional<ChainSplitter::Page> ChainSplitter::nextPage() {
  const auto size = findPage();
  if (!size) return std::nullopt;
  const auto bytes = std::span<const std::byte>(input_).subspan(readPos_, *size);
  readPos_ += *size;

  Page page{{bytes.begin(), bytes.end()}, false};
  const bool bos = (bytes[5] & kBos) != std::byte{0};
  // The first BOS page of a group starts a link; a group after other pages starts a new one.
  if (bos && !lastWasBos_) {
    page.newLink = anyPage_;
    startLink(page.newLink);
  }
  lastWasBos_ = bos;
  anyPage_ = true;
  trackComments(bytes);
  return page;
}

std::optional<SongTitle> ChainSplitter::takeTitle() { return std::exchange(title_, std::nullopt); }

void ChainSplitter::startLink(bool followsAnother) {
  followsAnother_ = followsAnother;
  serial_.reset();
  codec_ = Codec::Unknown;
  packetIndex_ = 0;
  packet_.clear();
  inPacket_ = false;
  packetFull_ = false;
  commentsDone_ = false;
}

void ChainSplitter::trackComments(std::span<const std::byte> page) {
  if (commentsDone_) return;
  const bool bos = (page[5] & kBos) != std::byte{0};
  const std::uint32_t serial = readLe32(page.subspan(14));
  const std::uint32_t seq = readLe32(page.subspan(18));
  const std::size_t segments = std::to_integer<std::size_t>(page[26]);
  const auto lacing = page.subspan(kHeaderBytes, segments);
  auto body = page.subspan(kHeaderBytes + segments);

  if (!serial_) {
    // The link's comments are those of its first stream in a codec we know (a skeleton or
    // video stream may come first); once the BOS group is over there is nothing to find.
    if (!bos) {
      commentsDone_ = true;
      return;
    }
    if (startsWith(body, "\x01vorbis")) {
      codec_ = Codec::Vorbis;
    } else if (startsWith(body, "OpusHead")) {
      codec_ = Codec::Opus;
    } else if (startsWith(body, "\177FLAC")) {
      codec_ = Codec::Flac;
    } else {
      return;
    }
    serial_ = serial;
    nextSeq_ = seq;
  }
  if (serial != *serial_) return;

  if (seq != nextSeq_) {
    // A page of this stream went missing: the packet in progress has a hole.
    inPacket_ = false;
    packet_.clear();
    packetFull_ = false;
  }
  nextSeq_ = seq + 1;
  const bool continued = (page[5] & kContinued) != std::byte{0};
  if (!continued && inPacket_) {
    // The packet we were collecting never ended; it cannot be read.
    inPacket_ = false;
    packet_.clear();
    packetFull_ = false;
  }
  // A continuation of a packet whose start we do not have is skipped up to its end.
  bool skipping = continued && !inPacket_;
  std::size_t pieceLen = 0;
  for (std::size_t i = 0; i < segments; ++i) {
    pieceLen += std::to_integer<std::size_t>(lacing[i]);
    if (lacing[i] == std::byte{255}) continue;
    if (!skipping) onPacketPiece(body.first(pieceLen), true);
    skipping = false;
    body = body.subspan(pieceLen);
    pieceLen = 0;
    if (commentsDone_) return;
  }
  if (segments > 0 && lacing[segments - 1] == std::byte{255} && !skipping)
    onPacketPiece(body, false);
}

void ChainSplitter::onPacketPiece(std::span<const std::byte> piece, bool ends) {
  if (!packetFull_) {
    const std::size_t take = std::min(piece.size(), kMaxPacketBytes - packet_.size());
    packet_.insert(packet_.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(take));
    if (packet_.size() == kMaxPacketBytes && (take < piece.size() || !ends)) {
      // Over the cap (a cover picture, say): read what we kept and let the rest go by.
      packetFull_ = true;
      onPacket(packet_);
    }
  }
  if (!ends) {
    inPacket_ = true;
    return;
  }
  if (!packetFull_) onPacket(packet_);
  packet_.clear();
  inPacket_ = false;
  packetFull_ = false;
  ++packetIndex_;
}

void ChainSplitter::onPacket(std::span<const std::byte> packet) {
  if (commentsDone_ || packetIndex_ == 0) return;  // packet 0 is the identification header
  std::optional<std::span<const std::byte>> comments;
  switch (codec_) {
    case Codec::Vorbis:
      if (startsWith(packet, "\x03vorbis")) comments = packet.subspan(7);
      break;
    case Codec::Opus:
      if (startsWith(packet, "OpusTags")) comments = packet.subspan(8);
      break;
    case Codec::Flac:
      // Each header packet after the first is one metadata block: a type byte whose top bit
      // marks the last block, then a 24-bit length. Type 4 is VORBIS_COMMENT.
      if (packet.size() >= 4 && (packet[0] & std::byte{0x7f}) == std::byte{4}) {
        comments = packet.subspan(4);
      } else if (packet.empty() || (packet[0] & std::byte{0x80}) != std::byte{0} ||
                 packetIndex_ > 64) {
        comments = std::span<const std::byte>{};
      }
      break;
    case Codec::Unknown: break;
  }
  // Vorbis and Opus put their comments in the second packet; later packets are set-up or audio.
  if (!comments && codec_ != Codec::Flac) comments = std::span<const std::byte>{};
  if (!comments) return;
  title_ = songTitleOf(readVorbisComments(*comments));
  // A song without names after one with names must not go on showing the earlier song's title.
  if (!title_ && followsAnother_) title_ = SongTitle{};
  commentsDone_ = true;
  packet_.clear();
  if (packet_.capacity() > kMaxPageBytes) packet_.shrink_to_fit();
}

}  // namespace radiolist::ogg
