#pragma once
// Splits an ICY body into audio bytes and metadata blocks. After every `metaint` audio bytes the
// server sends one length byte L and then 16 * L bytes of metadata (L = 0: no block this time).
// Pure: knows nothing of the transport; fed arbitrary chunks, it gives the same result however
// the body is cut. Not thread-safe; one owner.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "playback/net/icy_block.h"

namespace radiolist::net {

class IcyDeinterleaver {
 public:
  static constexpr std::size_t kMaxBlockBytes = 255 * 16;

  // metaint 0 passes every byte through as audio.
  explicit IcyDeinterleaver(std::size_t metaint);

  struct Piece {
    std::span<const std::byte> audio;  // audio bytes at the front of the consumed prefix
    std::size_t consumed = 0;          // bytes of the input used, > 0 whenever input is not empty
  };
  // Consumes a prefix of `in`. Audio comes out as subspans of `in` (no copy); callers loop until
  // the input is used up. A metadata block completed on the way becomes latestMeta().
  Piece next(std::span<const std::byte> in);

  // Convenience for callers that want a copy: appends all audio bytes of `in` to `audio`.
  void feed(std::span<const std::byte> in, std::vector<std::byte>& audio);

  // The latest metadata block whose text (up to its first NUL) is not empty and holds no control
  // byte other than tab, its title capped (withTitleCapped).
  [[nodiscard]] const std::optional<std::string>& latestMeta() const { return latest_; }
  // Counts blocks published to latestMeta(); lets a caller see a change cheaply.
  [[nodiscard]] std::uint64_t metaGeneration() const { return generation_; }
  // True while a metadata block has begun but not ended (a close now cuts it off).
  [[nodiscard]] bool insideMetadata() const { return phase_ != Phase::Audio; }

 private:
  enum class Phase { Audio, LengthByte, Block };
  void finishBlock();

  std::size_t metaint_;
  Phase phase_ = Phase::Audio;
  std::size_t audioLeft_;  // audio bytes before the next length byte
  std::size_t blockLeft_ = 0;
  std::string block_;  // the block being collected; capacity reserved once
  std::optional<std::string> latest_;
  std::uint64_t generation_ = 0;
};

}  // namespace radiolist::net
