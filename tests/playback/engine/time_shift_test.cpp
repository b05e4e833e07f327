// The replay sleeps until told: at the live edge only a new packet or a request wakes it, and a
// stop ends it there.
#include "playback/engine/time_shift.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <vector>

#include "fake_stream.h"

namespace radiolist::audio {
namespace {

using namespace std::chrono_literals;

// Waits (bounded) until `done` holds; a test that finds it never does fails instead of hanging.
template <typename Pred>
bool eventually(Pred done) {
  for (int i = 0; i < 1000 && !done(); ++i) std::this_thread::sleep_for(10ms);
  return done();
}

TEST(TimeShiftTest, TheReplayAtTheLiveEdgeIsWokenByAPacketOrARequestAndNeverPolls) {
  AVFormatContext* raw = nullptr;
  ASSERT_GE(avformat_open_input(&raw, test::mediaPath("tone440.mp3").c_str(), nullptr, nullptr), 0);
  const FormatPtr format(raw);
  const AVStream& stream = *raw->streams[0];
  std::vector<PacketPtr> packets;
  for (PacketPtr p(av_packet_alloc()); av_read_frame(raw, p.get()) >= 0; p.reset(av_packet_alloc()))
    packets.push_back(std::move(p));
  ASSERT_GE(packets.size(), 101u);

  SongBuffer songs;
  Voice voice(1 << 16);
  TimeShift shift(songs, voice, nullptr);
  // The live decoder, which writes nothing here: what it takes ends where the ring's audio ends.
  const auto live = [&](const AVPacket& packet) {
    (void)shift.livePacket(songs.push(packet, stream));
    shift.liveDone(0, true);
  };
  for (std::size_t i = 0; i < 100; ++i) live(*packets[i]);

  // Half a second back: the replay plays it (less than the ring holds, and nobody reads the ring)
  // and waits at the edge.
  shift.seek(songs.liveUs() - 500'000);
  ASSERT_TRUE(eventually([&] { return shift.edgeWaits() >= 1; }));
  const std::size_t played = voice.ring.written();
  EXPECT_GT(played, 0u);

  // Paused with nothing to do, it sleeps: no wait of it ends meanwhile.
  shift.setPaused(true);
  const std::uint64_t waits = shift.edgeWaits();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(shift.edgeWaits(), waits) << "the replay woke with nothing to do";

  // A new packet wakes it: played, and it waits again.
  live(*packets[100]);
  ASSERT_TRUE(eventually([&] { return shift.edgeWaits() > waits; }));
  EXPECT_GT(voice.ring.written(), played);

  // A request wakes it: the jump drops what the ring holds, and it plays up to the edge again.
  // (Live is a quarter of a second behind the newest packet, and a jump needs as much more.)
  const std::uint64_t beforeSeek = shift.edgeWaits();
  const std::size_t writtenBeforeSeek = voice.ring.written();
  shift.seek(songs.liveUs() - 700'000);
  ASSERT_TRUE(eventually([&] { return shift.edgeWaits() > beforeSeek; }));
  EXPECT_EQ(voice.dropBefore.load(), writtenBeforeSeek);
  EXPECT_GT(voice.ring.written(), writtenBeforeSeek);

  // A stop ends the wait at the edge.
  auto stopped = std::async(std::launch::async, [&] { shift.stop(); });
  EXPECT_EQ(stopped.wait_for(10s), std::future_status::ready);
}

}  // namespace
}  // namespace radiolist::audio
