// The chain splitter, fed any bytes in any chunking: the same pages, links and titles however the
// input is cut; pages that are pieces of the input in order, each a well-formed page; memory
// bounded by one page. Byte 0 picks the mode: raw input, or pages built from the input (with
// valid checksums, so the fuzzer gets past the page check) and garbage between them.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "playback/ogg/ogg_chain.h"

namespace {

using radiolist::ogg::ChainSplitter;
using Bytes = std::vector<std::byte>;

struct Run {
  std::vector<ChainSplitter::Page> pages;
  std::vector<std::string> titles;
  std::uint64_t skipped = 0;
};

// Feeds `input` in chunks of 1..maxChunk bytes (all at once when maxChunk is 0).
Run split(std::span<const std::byte> input, std::uint32_t seed, std::size_t maxChunk) {
  ChainSplitter s;
  Run run;
  while (!input.empty()) {
    seed = seed * 1103515245u + 12345u;
    const std::size_t n =
        maxChunk == 0 ? input.size() : std::min(input.size(), 1 + (seed >> 16) % maxChunk);
    s.push(input.first(n));
    input = input.subspan(n);
    while (auto page = s.nextPage()) {
      run.pages.push_back(std::move(*page));
      if (auto t = s.takeTitle()) run.titles.push_back(std::move(t->text));
    }
    if (s.pendingBytes() > radiolist::ogg::kMaxPageBytes) std::abort();
  }
  run.skipped = s.skippedBytes();
  return run;
}

std::uint32_t le32(const Bytes& b, std::size_t at) {
  return std::to_integer<std::uint32_t>(b[at]) | std::to_integer<std::uint32_t>(b[at + 1]) << 8 |
         std::to_integer<std::uint32_t>(b[at + 2]) << 16 |
         std::to_integer<std::uint32_t>(b[at + 3]) << 24;
}

void checkPages(const Run& run, std::span<const std::byte> input) {
  auto cursor = input.begin();
  std::uint64_t given = 0;
  for (const auto& page : run.pages) {
    const Bytes& b = page.bytes;
    if (b.size() < 27 || b.size() > radiolist::ogg::kMaxPageBytes) std::abort();
    std::size_t size = 27 + std::to_integer<std::size_t>(b[26]);
    for (std::size_t i = 0; i < std::to_integer<std::size_t>(b[26]) && 27 + i < b.size(); ++i)
      size += std::to_integer<std::size_t>(b[27 + i]);
    if (size != b.size() || radiolist::ogg::pageChecksum(b) != le32(b, 22)) std::abort();
    if (page.newLink && (b[5] & std::byte{2}) == std::byte{0}) std::abort();
    cursor = std::search(cursor, input.end(), b.begin(), b.end());
    if (cursor == input.end()) std::abort();
    cursor += static_cast<std::ptrdiff_t>(b.size());
    given += b.size();
  }
  if (given + run.skipped > input.size()) std::abort();
  for (const auto& t : run.titles) {
    if (t.size() > radiolist::utf8::kMaxTitleBytes) std::abort();
  }
}

bool samePages(const Run& a, const Run& b) {
  return a.titles == b.titles && a.skipped == b.skipped &&
         std::equal(a.pages.begin(), a.pages.end(), b.pages.begin(), b.pages.end(),
                    [](const auto& x, const auto& y) {
                      return x.bytes == y.bytes && x.newLink == y.newLink;
                    });
}

// Builds pages from a script of records (flags, serial, segment count, lacing values and body
// taken from the data), with garbage before some. Returns the stream and the pages expected.
struct Built {
  Bytes stream;
  std::vector<ChainSplitter::Page> pages;
  std::uint64_t garbage = 0;
};
Built build(std::span<const std::uint8_t> script) {
  Built out;
  std::size_t at = 0;
  const auto next = [&]() -> std::uint8_t { return at < script.size() ? script[at++] : 0; };
  bool anyPage = false;
  bool lastBos = false;
  while (at < script.size()) {
    const std::uint8_t flags = next();
    if ((flags & 0x80) != 0) {  // garbage first
      const std::size_t n = next() % 64;
      for (std::size_t i = 0; i < n; ++i) out.stream.push_back(static_cast<std::byte>(next()));
      out.garbage += n;
    }
    Bytes page = {std::byte{'O'}, std::byte{'g'}, std::byte{'g'},
                  std::byte{'S'}, std::byte{0},   static_cast<std::byte>(flags & 0x07)};
    for (int i = 0; i < 8; ++i) page.push_back(std::byte{0});                            // granule
    for (int i = 0; i < 4; ++i) page.push_back(static_cast<std::byte>(flags >> 5 & 3));  // serial
    const std::uint8_t seq = next();
    for (int i = 0; i < 4; ++i) page.push_back(static_cast<std::byte>(i == 0 ? seq : 0));
    for (int i = 0; i < 4; ++i) page.push_back(std::byte{0});  // checksum, filled in below
    const std::size_t segments = next() % 8;
    page.push_back(static_cast<std::byte>(segments));
    std::size_t bodySize = 0;
    for (std::size_t i = 0; i < segments; ++i) {
      const std::uint8_t lace = next();
      page.push_back(static_cast<std::byte>(lace));
      bodySize += lace;
    }
    for (std::size_t i = 0; i < bodySize; ++i) page.push_back(static_cast<std::byte>(next()));
    const std::uint32_t crc = radiolist::ogg::pageChecksum(page);
    for (int i = 0; i < 4; ++i)
      page[22 + static_cast<std::size_t>(i)] = static_cast<std::byte>(crc >> (8 * i));
    const bool bos = (flags & 0x02) != 0;
    out.pages.push_back({page, bos && anyPage && !lastBos});
    anyPage = true;
    lastBos = bos;
    out.stream.insert(out.stream.end(), page.begin(), page.end());
  }
  return out;
}

// Whether "OggS" occurs anywhere but at the given page starts (then a false page may be taken
// for real, and only the general checks apply).
bool strayCapture(const Built& b) {
  const std::string_view capture = "OggS";
  std::vector<std::size_t> starts;
  std::size_t at = 0;
  for (std::size_t i = 0, p = 0; i < b.pages.size(); ++i) {
    const auto& bytes = b.pages[i].bytes;
    at = static_cast<std::size_t>(std::search(b.stream.begin() + static_cast<std::ptrdiff_t>(p),
                                              b.stream.end(), bytes.begin(), bytes.end()) -
                                  b.stream.begin());
    starts.push_back(at);
    p = at + bytes.size();
  }
  const std::string text(reinterpret_cast<const char*>(b.stream.data()), b.stream.size());
  for (std::size_t pos = text.find(capture); pos != std::string::npos;
       pos = text.find(capture, pos + 1)) {
    if (!std::binary_search(starts.begin(), starts.end(), pos)) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const bool structured = (data[0] & 1) != 0;
  const std::size_t maxChunk = data[0] >> 1;  // 0: all at once
  const std::uint32_t seed = data[1];
  Built built;
  std::span<const std::byte> input;
  if (structured) {
    built = build({data + 2, size - 2});
    input = built.stream;
  } else {
    input = std::span(reinterpret_cast<const std::byte*>(data + 2), size - 2);
  }

  const Run whole = split(input, seed, 0);
  const Run chunked = split(input, seed, maxChunk == 0 ? 1 : maxChunk);
  checkPages(whole, input);
  checkPages(chunked, input);
  // A false capture pattern can only be resolved differently when pages arrive in pieces, so
  // the two agree whenever the input has none.
  if (structured && !strayCapture(built)) {
    if (!samePages(whole, chunked)) std::abort();
    if (whole.skipped != built.garbage || whole.pages.size() != built.pages.size()) std::abort();
    for (std::size_t i = 0; i < built.pages.size(); ++i) {
      if (whole.pages[i].bytes != built.pages[i].bytes ||
          whole.pages[i].newLink != built.pages[i].newLink)
        std::abort();
    }
  }
  return 0;
}
