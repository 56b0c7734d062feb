#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "base/blocking_worker.h"
#include "base/runtime.h"
#include "support/mailbox.h"

namespace ombrel {
namespace {

// An item that stays in a worker thread until the test lets it go, as a call to a hung bus.
// Declared after the worker, it lets go before the worker joins even when a check fails.
struct Stuck {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  test::Mailbox<bool> started;
  bool freed = false;

  ~Stuck() { letGo(); }
  void letGo() {
    if (!freed) release.set_value();
    freed = true;
  }
  std::function<void()> item() {
    return [this, released = released] {
      started.put(true);
      released.wait();
    };
  }
};

TEST(BlockingQueueTest, AFullBacklogDropsAndCountsWhatDoesNotFitAndTheRestRuns) {
  test::Mailbox<int> ran;
  {
    BlockingWorker worker({.threads = 1, .maxBacklog = 3});
    Stuck stuck;
    ASSERT_TRUE(worker.post(stuck.item()));
    ASSERT_TRUE(stuck.started.take());
    int accepted = 0;
    for (int i = 0; i < 10; ++i) accepted += worker.post([&ran, i] { ran.put(i); });
    EXPECT_EQ(accepted, 3);
    EXPECT_EQ(worker.backlog(), 3u);
    EXPECT_EQ(worker.dropped(), 7u);
    stuck.letGo();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(ran.take(), i);
  }
  EXPECT_EQ(ran.size(), 0u);
}

TEST(BlockingQueueTest, ALaneRunsOneItemAtATimeAndOnlyTheNewestOfABurst) {
  test::Mailbox<int> ran;
  std::atomic<int> inFlight{0};
  std::atomic<bool> overlapped{false};
  BlockingWorker worker({.threads = 2, .maxBacklog = 4});
  auto lane = worker.makeLane();
  Stuck stuck;  // after the worker
  ASSERT_TRUE(lane->post(stuck.item()));
  ASSERT_TRUE(stuck.started.take());
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(lane->post([&, i] {
      if (inFlight.fetch_add(1) != 0) overlapped = true;
      ran.put(i);
      inFlight.fetch_sub(1);
    }));
  }
  // The burst waits in the lane, not in the worker: it holds nothing of other lanes' room.
  EXPECT_EQ(worker.backlog(), 0u);
  EXPECT_EQ(worker.coalesced(), 99u);
  EXPECT_EQ(worker.dropped(), 0u);
  stuck.letGo();
  EXPECT_EQ(ran.take(), 99);
  // The lane is idle again: the next item runs as the first did.
  ASSERT_TRUE(lane->post([&] { ran.put(100); }));
  EXPECT_EQ(ran.take(), 100);
  EXPECT_EQ(ran.size(), 0u);
  EXPECT_FALSE(overlapped);
}

TEST(BlockingQueueTest, RunHandsTheResultBackOnTheCallersQueueUntilTheRuntimeEnds) {
  std::shared_ptr<BlockingWorker> kept;
  {
    Runtime runtime;
    kept = runtime.blockingWorker();
    auto queue = runtime.makeQueue("test.blocking");
    test::Mailbox<std::pair<int, bool>> done;
    for (auto& lane : {std::shared_ptr<BlockingLane>(), kept->makeLane()}) {
      auto work = [] { return 42; };
      auto back = [&done, queue](int v) { done.put({v, queue->isCurrent()}); };
      ASSERT_TRUE(lane ? lane->run(queue, work, back) : kept->run(queue, work, back));
      EXPECT_EQ(done.take(), (std::pair{42, true}));
    }
  }
  // Its queues are gone with the pool: whoever still holds the worker cannot post to them.
  EXPECT_FALSE(kept->post([] {}));
}

}  // namespace
}  // namespace ombrel
