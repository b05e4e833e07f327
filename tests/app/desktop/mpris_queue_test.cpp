// The media controls' pending actions: a flood of calls runs at most the bound, and once the
// queue has drained, calls are taken again.

#include "app/desktop/mpris.h"
#include "tests/app/window_fixture.h"

namespace {

using radiolist::MprisService;

int runs = 0;
void countRun() { ++runs; }

TEST(BoundedQueue, KeepsTheOldestUpToItsCapacityInOrder) {
  radiolist::BoundedQueue<int> queue(3);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(queue.push(i), i < 3) << i;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(queue.pop(), i);
  EXPECT_EQ(queue.pop(), std::nullopt);
  EXPECT_TRUE(queue.push(9));
}

class MprisQueueTest : public WindowTest {};

TEST_F(MprisQueueTest, AFloodOfCallsRunsNoMoreThanTheBound) {
  startAndSettle();
  MprisService service(*player, form->control(),
                       QStringLiteral("org.mpris.MediaPlayer2.radiolist.test"));
  runs = 0;
  for (int i = 0; i < 1000; ++i) service.later(countRun);
  constexpr int kBound = static_cast<int>(MprisService::kMaxPendingActions);
  EXPECT_TRUE(waitUntil([] { return runs >= kBound; }));
  waitUntil([] { return false; }, 200);  // time for any surplus to run
  EXPECT_EQ(runs, kBound);

  service.later(countRun);
  EXPECT_TRUE(waitUntil([] { return runs == kBound + 1; }));
}

}  // namespace
