#include "playback/hls/id3.h"
#include "text/ascii.h"
#include "text/utf8.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

namespace radiolist::hls {

namespace {

using Bytes = std::span<const std::byte>;
using utf8::appendCodePoint;

constexpr std::size_t kHeaderBytes = 10;

std::uint8_t byteAt(Bytes b, std::size_t i) { return std::to_integer<std::uint8_t>(b[i]); }

bool isSynchsafe(Bytes b, std::size_t at) {
  for (std::size_t i = 0; i < 4; ++i)
    if ((byteAt(b, at + i) & 0x80) != 0) return false;
  return true;
}

std::size_t synchsafeValue(Bytes b, std::size_t at) {
  std::size_t v = 0;
  for (std::size_t i = 0; i < 4; ++i) v = (v << 7) | (byteAt(b, at + i) & 0x7f);
  return v;
}

std::size_t bigEndian(Bytes b, std::size_t at, std::size_t bytes) {
  std::size_t v = 0;
  for (std::size_t i = 0; i < bytes; ++i) v = (v << 8) | byteAt(b, at + i);
  return v;
}

// Undoes unsynchronisation: every 0xFF 0x00 pair stood for a lone 0xFF.
std::vector<std::byte> resynchronised(Bytes b) {
  std::vector<std::byte> out;
  out.reserve(b.size());
  for (std::size_t i = 0; i < b.size(); ++i) {
    out.push_back(b[i]);
    if (byteAt(b, i) == 0xff && i + 1 < b.size() && byteAt(b, i + 1) == 0x00) ++i;
  }
  return out;
}

// The first string of a frame: up to its NUL, or to the end of the frame.
std::string latin1Text(Bytes b) {
  std::string out;
  for (std::size_t i = 0; i < b.size() && byteAt(b, i) != 0; ++i)
    appendCodePoint(out, byteAt(b, i));
  return out;
}

std::string utf8Text(Bytes b) {
  std::string out;
  for (std::size_t i = 0; i < b.size() && byteAt(b, i) != 0; ++i)
    out.push_back(static_cast<char>(byteAt(b, i)));
  return out;
}

// Lone surrogates become U+FFFD; an odd last byte is dropped.
std::string utf16Text(Bytes b, bool bigEndianOrder) {
  std::string out;
  const auto unit = [&](std::size_t i) -> char32_t {
    const std::uint8_t hi = byteAt(b, bigEndianOrder ? i : i + 1);
    const std::uint8_t lo = byteAt(b, bigEndianOrder ? i + 1 : i);
    return static_cast<char32_t>((hi << 8) | lo);
  };
  for (std::size_t i = 0; i + 1 < b.size(); i += 2) {
    const char32_t u = unit(i);
    if (u == 0) break;
    if (u >= 0xd800 && u < 0xdc00 && i + 3 < b.size()) {
      const char32_t low = unit(i + 2);
      if (low >= 0xdc00 && low < 0xe000) {
        appendCodePoint(out, 0x10000 + ((u - 0xd800) << 10) + (low - 0xdc00));
        i += 2;
        continue;
      }
    }
    appendCodePoint(out, (u >= 0xd800 && u < 0xe000) ? char32_t{0xfffd} : u);
  }
  return out;
}

// A text frame's body: the encoding byte, then the text.
std::string frameText(Bytes frame) {
  if (frame.empty()) return {};
  const Bytes text = frame.subspan(1);
  const bool hasBom = text.size() >= 2 && ((byteAt(text, 0) == 0xff && byteAt(text, 1) == 0xfe) ||
                                           (byteAt(text, 0) == 0xfe && byteAt(text, 1) == 0xff));
  switch (byteAt(frame, 0)) {
    case 0: return latin1Text(text);
    case 1:
      // Without its byte-order mark, little-endian, as the writers that forget it use.
      if (!hasBom) return utf16Text(text, false);
      return utf16Text(text.subspan(2), byteAt(text, 0) == 0xfe);
    case 2: return utf16Text(hasBom ? text.subspan(2) : text, !hasBom || byteAt(text, 0) == 0xfe);
    case 3: return utf8Text(text);
    default: return {};
  }
}

struct Fields {
  std::string artist;
  std::string title;
};

// Reads the frames of a tag body (after the header and any whole-tag resynchronisation).
Fields readFrames(Bytes body, int major, bool tagUnsynchronised) {
  Fields fields;
  const std::size_t frameHeader = major == 2 ? 6 : 10;
  const std::size_t idBytes = major == 2 ? 3 : 4;
  std::size_t pos = 0;
  while (body.size() - pos >= frameHeader) {
    if (byteAt(body, pos) == 0) break;  // padding
    const std::string_view id(reinterpret_cast<const char*>(body.data() + pos), idBytes);
    std::size_t size = 0;
    std::uint8_t format = 0;
    if (major == 2) {
      size = bigEndian(body, pos + 3, 3);
    } else if (major == 3 || !isSynchsafe(body, pos + 4)) {
      // Some v2.4 writers store plain sizes; a size byte with its top bit set can only be one.
      size = bigEndian(body, pos + 4, 4);
    } else {
      size = synchsafeValue(body, pos + 4);
    }
    if (major >= 3) format = byteAt(body, pos + 9);
    pos += frameHeader;
    size = std::min(size, body.size() - pos);
    Bytes data = body.subspan(pos, size);
    pos += size;

    std::string* target = nullptr;
    if (id == "TPE1" || id == "TP1") target = &fields.artist;
    if (id == "TIT2" || id == "TT2") target = &fields.title;
    if (target == nullptr) continue;

    std::vector<std::byte> storage;
    if (major == 3) {
      if ((format & 0xc0) != 0) continue;  // compressed or encrypted
      if ((format & 0x20) != 0) data = data.subspan(std::min<std::size_t>(1, data.size()));
    } else if (major == 4) {
      if ((format & 0x0c) != 0) continue;  // compressed or encrypted
      if ((format & 0x40) != 0) data = data.subspan(std::min<std::size_t>(1, data.size()));
      if ((format & 0x01) != 0) data = data.subspan(std::min<std::size_t>(4, data.size()));
      if ((format & 0x02) != 0 || tagUnsynchronised) {
        storage = resynchronised(data);
        data = storage;
      }
    }
    *target = frameText(data);
  }
  return fields;
}

}  // namespace

std::size_t id3TagSize(std::span<const std::byte> head) {
  if (head.size() < kHeaderBytes) return 0;
  if (byteAt(head, 0) != 'I' || byteAt(head, 1) != 'D' || byteAt(head, 2) != '3') return 0;
  if (byteAt(head, 3) == 0xff || byteAt(head, 4) == 0xff || !isSynchsafe(head, 6)) return 0;
  const bool footer = byteAt(head, 3) == 4 && (byteAt(head, 5) & 0x10) != 0;
  return kHeaderBytes + synchsafeValue(head, 6) + (footer ? kHeaderBytes : 0);
}

std::optional<SongTitle> songTitleFromId3(std::span<const std::byte> tag) {
  if (id3TagSize(tag) == 0) return std::nullopt;
  const int major = byteAt(tag, 3);
  const std::uint8_t flags = byteAt(tag, 5);
  if (major < 2 || major > 4) return std::nullopt;
  if (major == 2 && (flags & 0x40) != 0) return std::nullopt;  // v2.2 compression: unreadable

  Bytes body = tag.subspan(kHeaderBytes);
  body = body.first(std::min(synchsafeValue(tag, 6), body.size()));
  const bool unsynchronised = (flags & 0x80) != 0;
  std::vector<std::byte> storage;
  if (unsynchronised && major < 4) {
    storage = resynchronised(body);
    body = storage;
  }
  if (major >= 3 && (flags & 0x40) != 0) {
    if (body.size() < 4) return std::nullopt;
    // v2.3 counts the extended header without its size field, v2.4 with it.
    const std::size_t extended = major == 3 ? 4 + bigEndian(body, 0, 4) : synchsafeValue(body, 0);
    if (extended > body.size() || (major == 4 && extended < 6)) return std::nullopt;
    body = body.subspan(extended);
  }

  const Fields f = readFrames(body, major, unsynchronised && major == 4);
  if (f.artist.empty() && f.title.empty()) return std::nullopt;
  return songTitleFromTags(f.artist, f.title);
}

std::optional<SongTitle> titleFromTimedId3(std::span<const std::byte> data) {
  std::optional<SongTitle> title;
  std::size_t pos = 0;
  while (data.size() - pos >= kHeaderBytes) {
    const Bytes rest = data.subspan(pos);
    std::size_t size = id3TagSize(rest);
    std::optional<SongTitle> found;
    if (size != 0) {
      found = songTitleFromId3(rest.first(std::min(size, rest.size())));
    } else if (pos == 0 && isSynchsafe(rest, 1)) {
      // A tag without its first 5 bytes: flags, size, frames. Put a header back, trying v2.4
      // (what timed-metadata writers use) before v2.3.
      std::vector<std::byte> whole(rest.size() + 5);
      const std::uint8_t head[5] = {'I', 'D', '3', 4, 0};
      for (std::size_t i = 0; i < 5; ++i) whole[i] = std::byte{head[i]};
      std::copy(rest.begin(), rest.end(), whole.begin() + 5);
      size = id3TagSize(whole);
      if (size == 0 || size > whole.size()) break;
      found = songTitleFromId3(std::span(whole).first(size));
      if (!found) {
        whole[3] = std::byte{3};
        found = songTitleFromId3(std::span(whole).first(size));
      }
      size -= 5;
    } else {
      break;
    }
    if (found) title = std::move(found);
    if (size >= data.size() - pos) break;
    pos += size;
  }
  return title;
}

}  // namespace radiolist::hls
