#include "playback/net/byte_ring.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace radiolist::net {
namespace {

TEST(ByteRing, KeepsOrderAcrossWrapAroundAndNeverHoldsMoreThanItsCapacity) {
  ByteRing ring(97);
  std::mt19937 rng(7);
  std::uniform_int_distribution<std::size_t> size(0, 150);
  std::uint8_t nextIn = 0;
  std::uint8_t nextOut = 0;
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::byte> in(size(rng));
    for (auto& b : in) b = std::byte{nextIn++};
    const std::size_t spaceBefore = ring.space();
    const std::size_t written = ring.write(in);
    ASSERT_EQ(written, std::min(in.size(), spaceBefore));
    nextIn = static_cast<std::uint8_t>(nextIn - (in.size() - written));  // the rest was refused
    ASSERT_LE(ring.size(), ring.capacity());

    std::vector<std::byte> out(size(rng));
    const std::size_t got = ring.read(out);
    for (std::size_t i = 0; i < got; ++i)
      ASSERT_EQ(out[i], std::byte{nextOut++}) << "round " << round;
  }
}

TEST(ByteRing, ClearDropsEverything) {
  ByteRing ring(8);
  const std::vector<std::byte> in(6, std::byte{1});
  ring.write(in);
  ring.clear();
  EXPECT_EQ(ring.size(), 0u);
  EXPECT_EQ(ring.space(), 8u);
  std::vector<std::byte> out(8);
  EXPECT_EQ(ring.read(out), 0u);
}

}  // namespace
}  // namespace radiolist::net
