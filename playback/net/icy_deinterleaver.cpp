#include "playback/net/icy_deinterleaver.h"

#include "playback/net/icy_block.h"

#include <algorithm>
#include <cstring>

namespace radiolist::net {

IcyDeinterleaver::IcyDeinterleaver(std::size_t metaint) : metaint_(metaint), audioLeft_(metaint) {
  if (metaint_ != 0) block_.reserve(kMaxBlockBytes);
}

IcyDeinterleaver::Piece IcyDeinterleaver::next(std::span<const std::byte> in) {
  if (in.empty()) return {};
  if (metaint_ == 0) return {in, in.size()};
  switch (phase_) {
    case Phase::Audio: {
      const std::size_t n = std::min(audioLeft_, in.size());
      audioLeft_ -= n;
      if (audioLeft_ == 0) phase_ = Phase::LengthByte;
      return {in.first(n), n};
    }
    case Phase::LengthByte:
      blockLeft_ = std::to_integer<std::size_t>(in[0]) * 16;
      block_.clear();
      if (blockLeft_ == 0) {
        phase_ = Phase::Audio;
        audioLeft_ = metaint_;
      } else {
        phase_ = Phase::Block;
      }
      return {{}, 1};
    case Phase::Block: {
      const std::size_t n = std::min(blockLeft_, in.size());
      block_.append(reinterpret_cast<const char*>(in.data()), n);
      blockLeft_ -= n;
      if (blockLeft_ == 0) finishBlock();
      return {{}, n};
    }
  }
  return {{}, in.size()};  // unreachable; keeps the compiler sure every path returns
}

void IcyDeinterleaver::feed(std::span<const std::byte> in, std::vector<std::byte>& audio) {
  while (!in.empty()) {
    const Piece piece = next(in);
    audio.insert(audio.end(), piece.audio.begin(), piece.audio.end());
    in = in.subspan(piece.consumed);
  }
}

void IcyDeinterleaver::finishBlock() {
  // Blocks are padded with NULs; a block that is all padding says nothing new (servers send
  // them to keep the interval) and must not clear the title we have. Control bytes mean we are
  // reading audio as metadata (a length byte that lied): such a block is not shown either.
  const std::size_t text = std::min(block_.size(), std::strlen(block_.c_str()));
  const bool printable =
      std::none_of(block_.begin(), block_.begin() + static_cast<std::ptrdiff_t>(text), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return (u < 0x20 && c != '\t') || u == 0x7f;
      });
  if (text != 0 && printable) {
    latest_ = withTitleCapped(std::string_view(block_.data(), text));
    ++generation_;
  }
  phase_ = Phase::Audio;
  audioLeft_ = metaint_;
}

}  // namespace radiolist::net
