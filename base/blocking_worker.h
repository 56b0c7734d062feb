#pragma once

// Threads for calls that may block for seconds (D-Bus, accessibility, network sends), so that
// no serial queue, and no thread of the Runtime's pool, waits on them.
//
// - A fixed number of threads, started on the first item, and a bounded backlog: an item
//   offered while `maxBacklog` items wait is dropped and counted in `dropped()`. Whatever a
//   peer sends, the worker holds at most that many items.
// - A BlockingLane is one caller's line of work: its items run one at a time, and at most one
//   waits behind the running one; a newer item replaces the waiting one (counted in
//   `coalesced()`). Lookups whose answer only matters when fresh (where the caret is, whether
//   the screen is locked) go through a lane, so a burst of requests makes two calls, not one
//   per request, and a stuck call holds one thread and one waiting item.
// - `run(queue, work, done)` hops: `work` on a worker thread, then `done(result)` posted to
//   `queue`. The caller never waits.
//
// Threading: every member may be called from any thread. Lifetime: the worker must outlive its
// lanes' callers and the queues it posts to (the Runtime owns one and stops it before its
// pool); `stop()` and the destructor drop the items that have not started and join the
// threads, which waits for the running ones.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/serial_queue.h"

namespace ombrel {

class BlockingLane;

class BlockingWorker {
 public:
  struct Options {
    unsigned threads = 2;
    std::size_t maxBacklog = 64;
  };

  BlockingWorker() : BlockingWorker(Options{}) {}
  explicit BlockingWorker(Options options);
  ~BlockingWorker();
  BlockingWorker(const BlockingWorker&) = delete;
  BlockingWorker& operator=(const BlockingWorker&) = delete;

  // Drops the items that have not started and waits for the running ones; later items are
  // refused. The Runtime calls it first thing in its destructor.
  void stop();

  // False when the backlog is full (the item is dropped) or the worker has stopped.
  bool post(std::function<void()> work);

  // `work()` on a worker thread, then `done(result)` on `queue`.
  template <typename Work, typename Done>
  bool run(std::shared_ptr<SerialQueue> queue, Work work, Done done) {
    return post(hop(std::move(queue), std::move(work), std::move(done)));
  }

  std::shared_ptr<BlockingLane> makeLane();

  // Items waiting for a thread (not counting the running ones).
  std::size_t backlog() const;
  std::uint64_t dropped() const { return dropped_; }
  std::uint64_t coalesced() const { return coalesced_; }
  const Options& options() const { return options_; }

  template <typename Work, typename Done>
  static std::function<void()> hop(std::shared_ptr<SerialQueue> queue, Work work, Done done) {
    return [queue = std::move(queue), work = std::move(work), done = std::move(done)]() mutable {
      auto result = work();
      queue->post([done = std::move(done), result = std::move(result)]() mutable {
        done(std::move(result));
      });
    };
  }

 private:
  friend class BlockingLane;

  void loop();

  const Options options_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> items_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
  std::atomic<std::uint64_t> dropped_{0};
  std::atomic<std::uint64_t> coalesced_{0};
};

// Made by BlockingWorker::makeLane. States: idle -> scheduled (an item waits in the worker's
// backlog or runs) -> idle once nothing waits behind the item that ran.
class BlockingLane : public std::enable_shared_from_this<BlockingLane> {
 public:
  explicit BlockingLane(BlockingWorker& worker) : worker_(worker) {}

  // False when the worker dropped the lane's turn (its backlog was full); a replaced waiting
  // item is not a failure.
  bool post(std::function<void()> work);

  template <typename Work, typename Done>
  bool run(std::shared_ptr<SerialQueue> queue, Work work, Done done) {
    return post(BlockingWorker::hop(std::move(queue), std::move(work), std::move(done)));
  }

 private:
  bool schedule();
  void runNext();

  BlockingWorker& worker_;
  std::mutex mutex_;
  std::function<void()> next_;
  bool scheduled_ = false;
};

}  // namespace ombrel
