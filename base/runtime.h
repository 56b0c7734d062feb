#pragma once

// The process's thread pool: one `asio::io_context` run by a few threads, the clock every timer
// uses, and the main queue.
//
// - Every serial queue of the product (a connection's, the relay client's, the capture
//   pipeline's) is a SerialQueue made by `makeQueue` on this pool.
// - The main queue carries the controller, published state and pairing decisions. By default it
//   is one more SerialQueue on the pool (headless mode, tests). A UI can drive it instead: pass
//   `Options::mainContext`, an io_context the UI's event loop polls (`poll()` from a timer or a
//   socket notifier) on its own thread; the main queue is then a strand on that context and
//   its items run on the UI thread.
// - Tests inject a ManualClock through `Options::clock`.
// - Calls that may block for seconds go to `blockingWorker()` (blocking_worker.h), never onto
//   a queue: a pool thread stuck in one stalls every queue that waits its turn.
//
// Threading: every member may be called from any thread. Lifetime: the Runtime must outlive
// every queue, timer and socket made on it; its destructor stops the pool, joins the threads
// and drops work that has not run. `shared()` is the process-wide instance with the system
// clock, built on first use.

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/blocking_worker.h"
#include "base/clock.h"
#include "base/serial_queue.h"

namespace ombrel {

class Runtime {
 public:
  struct Options {
    // Pool threads; 0 picks max(4, hardware threads) so a few nested `sync` calls cannot
    // starve the pool.
    unsigned threads = 0;
    // The clock of every queue; null means the system clock.
    std::shared_ptr<Clock> clock;
    // An io_context driven by someone else (a UI event loop) for the main queue; null means
    // the main queue runs on the pool.
    asio::io_context* mainContext = nullptr;
    // Threads and backlog of `blockingWorker()`.
    BlockingWorker::Options blocking;
  };

  Runtime();
  explicit Runtime(Options options);
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  static Runtime& shared();

  asio::io_context& context() { return context_; }
  Clock& clock() const { return *clock_; }
  const std::shared_ptr<Clock>& sharedClock() const { return clock_; }
  unsigned threadCount() const { return static_cast<unsigned>(threads_.size()); }

  const std::shared_ptr<SerialQueue>& mainQueue() const { return mainQueue_; }
  std::shared_ptr<SerialQueue> makeQueue(std::string label);
  // Shared by the components that make blocking calls; must not outlive the Runtime.
  const std::shared_ptr<BlockingWorker>& blockingWorker() const { return blocking_; }

 private:
  std::shared_ptr<Clock> clock_;
  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::shared_ptr<SerialQueue> mainQueue_;
  std::vector<std::thread> threads_;
  // Stopped before the pool: its items post to queues of this pool.
  std::shared_ptr<BlockingWorker> blocking_;
};

}  // namespace ombrel
