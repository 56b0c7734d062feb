#include "base/runtime.h"

#include <algorithm>
#include <exception>
#include <string>

#include "base/log.h"

namespace ombrel {

Runtime::Runtime() : Runtime(Options{}) {}

Runtime::Runtime(Options options)
    : clock_(options.clock ? std::move(options.clock) : std::make_shared<SystemClock>()),
      work_(asio::make_work_guard(context_)),
      blocking_(std::make_shared<BlockingWorker>(options.blocking)) {
  mainQueue_ =
      SerialQueue::create(options.mainContext ? *options.mainContext : context_, "main", clock_);
  unsigned count = options.threads;
  if (count == 0) count = std::max(4u, std::thread::hardware_concurrency());
  threads_.reserve(count);
  for (unsigned i = 0; i < count; ++i) {
    threads_.emplace_back([this] {
      for (;;) {
        try {
          context_.run();
          return;
        } catch (const std::exception& e) {
          // One faulty handler must not take a pool thread (and every queue) down with it.
          log::line(std::string("Ombrel Remote: uncaught error on a queue: ") + e.what());
        }
      }
    });
  }
}

Runtime::~Runtime() {
  // Whoever still holds the worker, its items must not reach the queues of a stopped pool.
  blocking_->stop();
  work_.reset();
  context_.stop();
  for (auto& thread : threads_) thread.join();
}

Runtime& Runtime::shared() {
  static Runtime runtime;
  return runtime;
}

std::shared_ptr<SerialQueue> Runtime::makeQueue(std::string label) {
  return SerialQueue::create(context_, std::move(label), clock_);
}

}  // namespace ombrel
