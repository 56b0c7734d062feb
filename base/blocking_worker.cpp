#include "base/blocking_worker.h"

#include <algorithm>
#include <exception>

#include "base/log.h"

namespace ombrel {

BlockingWorker::BlockingWorker(Options options)
    : options_{.threads = std::max(1u, options.threads), .maxBacklog = options.maxBacklog} {}

BlockingWorker::~BlockingWorker() { stop(); }

void BlockingWorker::stop() {
  std::deque<std::function<void()>> dropped;
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    dropped.swap(items_);
    threads.swap(threads_);
  }
  wake_.notify_all();
  for (auto& thread : threads) thread.join();
}

bool BlockingWorker::post(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return false;
    if (items_.size() >= options_.maxBacklog) {
      ++dropped_;
      return false;
    }
    items_.push_back(std::move(work));
    // Threads start with the first item: most runtimes (tests, tools) never block on anything.
    if (threads_.empty()) {
      for (unsigned i = 0; i < options_.threads; ++i) threads_.emplace_back([this] { loop(); });
    }
  }
  wake_.notify_one();
  return true;
}

std::shared_ptr<BlockingLane> BlockingWorker::makeLane() {
  return std::make_shared<BlockingLane>(*this);
}

std::size_t BlockingWorker::backlog() const {
  std::lock_guard lock(mutex_);
  return items_.size();
}

void BlockingWorker::loop() {
  for (;;) {
    std::function<void()> work;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !items_.empty(); });
      if (stopping_) return;
      work = std::move(items_.front());
      items_.pop_front();
    }
    try {
      work();
    } catch (const std::exception& e) {
      // One faulty item must not take a thread (and every later item) down with it.
      log::line(std::string("Ombrel Remote: uncaught error in blocking work: ") + e.what());
    }
  }
}

// Lanes ---------------------------------------------------------------------------------------

bool BlockingLane::post(std::function<void()> work) {
  std::function<void()> replaced;  // let go outside the lock
  std::unique_lock lock(mutex_);
  if (next_) ++worker_.coalesced_;
  replaced.swap(next_);
  next_ = std::move(work);
  if (scheduled_) return true;
  scheduled_ = true;
  lock.unlock();
  return schedule();
}

bool BlockingLane::schedule() {
  if (worker_.post([self = shared_from_this()] { self->runNext(); })) return true;
  std::function<void()> dropped;
  std::lock_guard lock(mutex_);
  scheduled_ = false;
  dropped.swap(next_);
  return false;
}

void BlockingLane::runNext() {
  std::function<void()> work;
  {
    std::lock_guard lock(mutex_);
    work.swap(next_);
  }
  if (work) {
    try {
      work();
    } catch (const std::exception& e) {
      log::line(std::string("Ombrel Remote: uncaught error in blocking work: ") + e.what());
    }
  }
  {
    std::lock_guard lock(mutex_);
    if (!next_) {
      scheduled_ = false;
      return;
    }
  }
  // Back into the worker's backlog rather than running on here: other lanes get their turn.
  schedule();
}

}  // namespace ombrel
