// The de-interleaver must give the same audio and the same title however the body is cut, and
// never more audio than it was fed nor a title longer than one block.

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "playback/net/icy_deinterleaver.h"

using radiolist::net::IcyDeinterleaver;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  // Byte 0..1: metaint (small values make many blocks); byte 2: seed of the chunking.
  const std::size_t metaint = (std::size_t{data[0]} << 8 | data[1]) % 4097;
  std::uint32_t seed = data[2] | 1u;
  const std::span body(reinterpret_cast<const std::byte*>(data + 3), size - 3);

  IcyDeinterleaver whole(metaint);
  std::vector<std::byte> wholeAudio;
  whole.feed(body, wholeAudio);

  IcyDeinterleaver chunked(metaint);
  std::vector<std::byte> chunkedAudio;
  for (auto rest = body; !rest.empty();) {
    seed = seed * 1103515245u + 12345u;
    const std::size_t n = std::min<std::size_t>(rest.size(), 1 + (seed >> 16) % 64);
    chunked.feed(rest.first(n), chunkedAudio);
    rest = rest.subspan(n);
  }

  if (wholeAudio != chunkedAudio || whole.latestMeta() != chunked.latestMeta() ||
      whole.metaGeneration() != chunked.metaGeneration() ||
      whole.insideMetadata() != chunked.insideMetadata())
    std::abort();
  if (wholeAudio.size() > body.size()) std::abort();
  if (metaint == 0 && wholeAudio.size() != body.size()) std::abort();
  if (whole.latestMeta() && (whole.latestMeta()->empty() ||
                             whole.latestMeta()->size() > IcyDeinterleaver::kMaxBlockBytes))
    std::abort();
  return 0;
}
