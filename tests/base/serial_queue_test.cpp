#include "base/serial_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/runtime.h"

namespace ombrel {
namespace {

TEST(SerialQueueTest, RunsItemsOneAtATimeInPostOrder) {
  Runtime runtime;
  auto queue = runtime.makeQueue("test.order");
  constexpr int perThread = 2000;
  std::vector<int> seen;  // touched only on the queue
  std::atomic<int> inFlight{0};
  std::atomic<bool> overlapped{false};
  auto producer = [&](int base) {
    for (int i = 0; i < perThread; ++i) {
      queue->post([&, value = base + i] {
        if (inFlight.fetch_add(1) != 0) overlapped = true;
        seen.push_back(value);
        inFlight.fetch_sub(1);
      });
    }
  };
  std::thread a(producer, 0);
  std::thread b(producer, 100000);
  a.join();
  b.join();
  queue->sync([] {});
  EXPECT_FALSE(overlapped);
  ASSERT_EQ(seen.size(), 2u * perThread);
  // Each producer's items keep their order even when interleaved with the other's.
  int lastA = -1, lastB = 99999;
  for (int v : seen) {
    int& last = v < 100000 ? lastA : lastB;
    EXPECT_EQ(v, last + 1);
    last = v;
  }
}

TEST(SerialQueueTest, PostNeverRunsInlineEvenOnTheQueue) {
  Runtime runtime;
  auto queue = runtime.makeQueue("test.post");
  std::vector<int> order;
  queue->sync([&] {
    queue->post([&] { order.push_back(2); });
    order.push_back(1);
  });
  queue->sync([] {});
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(SerialQueueTest, SyncRunsInlineOnItsOwnQueueAndReturnsValuesAndErrors) {
  Runtime runtime;
  auto queue = runtime.makeQueue("test.sync");
  auto other = runtime.makeQueue("test.other");
  // Nested on its own queue: would deadlock if it waited.
  int value =
      queue->sync([&] { return queue->sync([&] { return queue->sync([] { return 7; }); }); });
  EXPECT_EQ(value, 7);
  // From another queue, where waiting is allowed, it waits for the item.
  bool ranOnQueue = other->sync([&] {
    SerialQueue::WaitAllowed allowed;
    return queue->sync([&] { return queue->isCurrent(); });
  });
  EXPECT_TRUE(ranOnQueue);
  EXPECT_THROW(queue->sync([]() -> int { throw std::runtime_error("boom"); }), std::runtime_error);
  // The queue still works after an item threw.
  EXPECT_EQ(queue->sync([] { return 3; }), 3);
}

// Records misused syncs instead of aborting, for as long as it lives.
class MisuseRecorder {
 public:
  MisuseRecorder()
      : previous_(SerialQueue::setMisuseHandler(
            [this](const SerialQueue& waiting, const SerialQueue& target) {
              std::lock_guard lock(mutex_);
              seen_.push_back(waiting.label() + " -> " + target.label());
            })) {}
  ~MisuseRecorder() { SerialQueue::setMisuseHandler(std::move(previous_)); }
  std::vector<std::string> seen() {
    std::lock_guard lock(mutex_);
    return seen_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> seen_;
  SerialQueue::MisuseHandler previous_;
};

TEST(SerialQueueTest, SyncFromAnItemOfAnotherQueueIsReported) {
  Runtime runtime;
  auto connection = runtime.makeQueue("test.connection");
  auto main = runtime.mainQueue();
  MisuseRecorder recorder;

  // Allowed: from outside any queue, onto the queue itself, and under WaitAllowed.
  main->sync([] {});
  connection->sync([&] { connection->sync([] {}); });
  connection->sync([&] {
    SerialQueue::WaitAllowed allowed;
    main->sync([] {});
  });
  EXPECT_TRUE(recorder.seen().empty());

  // A posted item, and a completion handler that reached the strand without `post` (as a
  // socket's does), both waiting on the main queue.
  connection->post([&] { main->sync([] {}); });
  std::promise<void> completed;
  asio::post(connection->executor(), [&] {
    main->sync([] {});
    completed.set_value();
  });
  completed.get_future().wait();
  EXPECT_EQ(recorder.seen(), (std::vector<std::string>{"test.connection -> " + main->label(),
                                                       "test.connection -> " + main->label()}));
}

TEST(SerialQueueDeathTest, SyncFromAnItemOfAnotherQueueAbortsInDebugBuilds) {
#ifdef NDEBUG
  GTEST_SKIP() << "release builds log the misuse instead";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Runtime runtime;
        auto connection = runtime.makeQueue("test.connection");
        connection->sync([&] { runtime.mainQueue()->sync([] {}); });
      },
      "an item of test.connection waits on .* with sync");
#endif
}

TEST(SerialQueueTest, IsCurrentOnlyInsideItsOwnItems) {
  Runtime runtime;
  auto queue = runtime.makeQueue("test.current");
  auto other = runtime.makeQueue("test.current.other");
  EXPECT_FALSE(queue->isCurrent());
  EXPECT_TRUE(queue->sync([&] { return queue->isCurrent(); }));
  EXPECT_FALSE(other->sync([&] { return queue->isCurrent(); }));
  EXPECT_TRUE(runtime.mainQueue()->sync([&] { return runtime.mainQueue()->isCurrent(); }));
  EXPECT_FALSE(runtime.mainQueue()->sync([&] { return queue->isCurrent(); }));
  EXPECT_EQ(queue->label(), "test.current");
}

TEST(SerialQueueTest, MainQueueCanBeDrivenByAnOutsideEventLoop) {
  asio::io_context uiLoop;
  Runtime runtime(Runtime::Options{.mainContext = &uiLoop});
  auto main = runtime.mainQueue();
  std::thread::id ranOn;
  bool wasCurrent = false;
  main->post([&] {
    ranOn = std::this_thread::get_id();
    wasCurrent = main->isCurrent();
  });
  // Nothing runs until the loop that owns the main queue turns.
  EXPECT_EQ(ranOn, std::thread::id());
  uiLoop.poll();
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_TRUE(wasCurrent);
}

// ---- timers under the manual clock -----------------------------------------------------

class TimerTest : public ::testing::Test {
 protected:
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  Runtime runtime{Runtime::Options{.clock = clock}};
  std::shared_ptr<SerialQueue> queue = runtime.makeQueue("test.timers");
};

TEST_F(TimerTest, DeadlinesFireInDueOrderOnlyWhenTheirTimeComes) {
  struct Fired {
    double deadline;
    double now;
    bool onQueue;
  };
  std::vector<Fired> fired;  // touched on the queue, read after advance() returned
  for (double deadline : {7200.0, 180.0, 10.0, 120.0, 60.0}) {
    queue->after(deadline, [&, deadline] {
      fired.push_back({deadline, clock->now(), queue->isCurrent()});
    });
  }
  queue->sync([] {});
  EXPECT_EQ(clock->pendingTimers(), 5u);
  clock->advance(9.999);
  EXPECT_TRUE(fired.empty());
  clock->advance(0.001);
  ASSERT_EQ(fired.size(), 1u);
  EXPECT_EQ(fired[0].deadline, 10.0);
  clock->advance(2 * 3600);
  ASSERT_EQ(fired.size(), 5u);
  const double expected[] = {10, 60, 120, 180, 7200};
  for (size_t i = 0; i < fired.size(); ++i) {
    EXPECT_EQ(fired[i].deadline, expected[i]);
    EXPECT_EQ(fired[i].now, expected[i]) << "now() reads the due time inside the callback";
    EXPECT_TRUE(fired[i].onQueue);
  }
  EXPECT_DOUBLE_EQ(clock->now(), 7210.0);
  EXPECT_EQ(clock->pendingTimers(), 0u);
  EXPECT_EQ(clock->wallNow() - ManualClock::defaultWallStart(), std::chrono::seconds(7210));
}

TEST_F(TimerTest, RepeatingTimerFiresOncePerIntervalWithoutDrift) {
  int seconds = 0, frames = 0;
  auto perSecond = queue->every(1.0, [&] { ++seconds; });
  auto perFrame = queue->every(1.0 / 60, [&] { ++frames; });
  clock->advance(10);
  EXPECT_EQ(seconds, 10);
  EXPECT_EQ(frames, 600);
  perFrame->cancel();
  clock->advance(3600);
  EXPECT_EQ(seconds, 3610);
  EXPECT_EQ(frames, 600);
  EXPECT_THROW(queue->every(0, [] {}), std::invalid_argument);
}

TEST_F(TimerTest, TimersArmedByCallbacksFireWithinTheSameAdvance) {
  std::vector<double> times;
  queue->after(10, [&] {
    times.push_back(clock->now());
    queue->after(50, [&] { times.push_back(clock->now()); });
  });
  clock->advance(60);
  EXPECT_EQ(times, (std::vector<double>{10, 60}));
}

TEST_F(TimerTest, CancelOnTheQueueStopsTheCallbackAtOnce) {
  int fired = 0;
  std::shared_ptr<Timer> repeating;
  repeating = queue->every(1, [&] {
    if (++fired == 3) repeating->cancel();
  });
  clock->advance(10);
  EXPECT_EQ(fired, 3);
  EXPECT_TRUE(repeating->isCancelled());

  // A timer cancelled by an earlier item of the same advance never runs even though it was due.
  bool lateRan = false;
  auto late = queue->after(5, [&] { lateRan = true; });
  queue->after(4, [&] { late->cancel(); });
  clock->advance(10);
  EXPECT_FALSE(lateRan);

  // Cancelling from another thread withdraws it from the clock; a second cancel is harmless.
  bool ran = false;
  auto timer = queue->after(30, [&] { ran = true; });
  queue->sync([] {});
  EXPECT_EQ(clock->pendingTimers(), 1u);
  timer->cancel();
  timer->cancel();
  EXPECT_EQ(clock->pendingTimers(), 0u);
  clock->advance(60);
  EXPECT_FALSE(ran);
}

TEST_F(TimerTest, CancelReleasesTheCallbackAndWhatItHolds) {
  auto owner = std::make_shared<int>(1);
  auto timer = queue->every(1, [owner] {});
  // A one-shot that fired lets go as well.
  auto oneShot = queue->after(1, [owner] {});
  clock->advance(1);
  timer->cancel();
  queue->sync([] {});
  EXPECT_EQ(owner.use_count(), 1);
}

// ---- timers under the system clock ------------------------------------------------------

TEST(SystemClockTimerTest, FiresOnTheQueueAndStopsAfterCancelFromAnotherThread) {
  Runtime runtime;
  auto queue = runtime.makeQueue("test.system.timers");
  std::promise<bool> firedOnQueue;
  queue->after(0.005, [&] { firedOnQueue.set_value(queue->isCurrent()); });
  EXPECT_TRUE(firedOnQueue.get_future().get());

  std::atomic<int> ticks{0};
  std::promise<void> ticking;
  auto timer = queue->every(0.001, [&] {
    if (++ticks == 3) ticking.set_value();
  });
  ticking.get_future().wait();
  timer->cancel();
  // Once cancel() returned and the queue drained, no further tick may start.
  queue->sync([] {});
  const int atCancel = ticks.load();
  std::promise<void> later;
  queue->after(0.02, [&] { later.set_value(); });
  later.get_future().wait();
  EXPECT_EQ(ticks.load(), atCancel);
}

TEST(SystemClockTimerTest, CancelOnItsOwnQueueLetsTheCallbackGoBeforeReturning) {
  Runtime runtime;
  auto queue = runtime.makeQueue("test.system.cancel");
  auto owner = std::make_shared<int>(1);
  std::weak_ptr<int> watch = owner;
  auto oneShot = queue->after(3600, [owner] {});
  auto repeating = queue->every(3600, [owner] {});
  owner.reset();
  queue->sync([&] {
    oneShot->cancel();
    repeating->cancel();
    // Settled inside the cancelling handler: nothing is left for the pool to run afterwards.
    EXPECT_TRUE(watch.expired());
  });
}

TEST(SystemClockTimerTest, WallClockAndMonotonicClockAgreeWithTheSystem) {
  SystemClock clock;
  const double before = clock.now();
  const double wall = clock.wallSeconds();
  const double system =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  EXPECT_NEAR(wall, system, 1.0);
  EXPECT_GE(clock.now(), before);
}

}  // namespace
}  // namespace ombrel
