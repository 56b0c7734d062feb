#pragma once

// A serial queue: work items run one at a time, in submission order, on some thread of the
// runtime's pool (an `asio::strand`). Every component that owns state touched from callbacks
// owns one queue and does that work there; public methods post onto it, private ones assert
// `isCurrent()`.
//
// Threading contract:
// - `post`, `sync`, `after`, `every`, `isCurrent` may be called from any thread.
// - `post` never runs the work inline, even on the queue itself; items posted from one thread
//   run in the order they were posted.
// - `sync` runs the work on the queue and waits for it, returning its result (or rethrowing its
//   exception). Called on the queue itself it runs inline, so it never deadlocks on its own
//   queue. Two queues that `sync` onto each other, or more waiting queues than the pool has
//   threads, deadlock: `sync` is for tests, shutdown and setup from outside any queue. From an
//   item of another queue it is a fault (a peer that makes several queues wait can take every
//   pool thread): debug builds abort, release builds log it once. Hop instead: post the work,
//   and post the continuation back from there. `WaitAllowed` marks the rare caller that must
//   wait from inside a queue item.
// - Timers run on the queue through the queue's Clock (see timer.h for cancel semantics).
// - Sockets and other Asio objects bind to `executor()` so their completions run on the queue.
//
// Lifetime: a queue must be destroyed before the io_context it runs on (the Runtime); handlers
// keep the queue's strand alive, not the object that posted them, so they capture weak_ptrs to
// their owner.

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/strand.hpp>

#include <cassert>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "base/clock.h"
#include "base/timer.h"

namespace ombrel {

class SerialQueue : public std::enable_shared_from_this<SerialQueue> {
 public:
  using Executor = asio::strand<asio::io_context::executor_type>;

  // A queue on `context` whose timers use `clock`. Usually made by Runtime::makeQueue.
  static std::shared_ptr<SerialQueue> create(asio::io_context& context, std::string label,
                                             std::shared_ptr<Clock> clock);

  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }
  Clock& clock() const { return *clock_; }
  double now() const { return clock_->now(); }
  const Executor& executor() const { return strand_; }

  // True when the calling thread is running an item of this queue.
  bool isCurrent() const { return strand_.running_in_this_thread(); }
  // Debug builds abort when the caller is not on this queue: state owned by a queue and touched
  // from elsewhere races only when the timing is unlucky, so the check must not wait for that.
  // Free under NDEBUG.
  void assertCurrent() const { assert(isCurrent()); }

  template <typename F>
  void post(F&& work) {
    asio::post(strand_, std::forward<F>(work));
  }

  template <typename F>
  std::invoke_result_t<F> sync(F&& work) {
    using R = std::invoke_result_t<F>;
    if (isCurrent()) return std::forward<F>(work)();
    checkMayWait();
    std::promise<R> done;
    auto result = done.get_future();
    asio::post(strand_, [&work, &done] {
      try {
        if constexpr (std::is_void_v<R>) {
          work();
          done.set_value();
        } else {
          done.set_value(work());
        }
      } catch (...) {
        done.set_exception(std::current_exception());
      }
    });
    return result.get();
  }

  // While one lives, `sync` from this thread may wait on another queue even inside a queue item:
  // for waits that cannot be turned around, and only where no peer can repeat them at will.
  class WaitAllowed {
   public:
    WaitAllowed();
    ~WaitAllowed();
    WaitAllowed(const WaitAllowed&) = delete;
    WaitAllowed& operator=(const WaitAllowed&) = delete;
  };

  // What a misused `sync` does instead of the default (abort in debug builds, one log line in
  // release builds): `waiting` is the queue whose item called `sync` onto `target`. Tests use
  // it; an empty handler restores the default. Returns the previous handler.
  using MisuseHandler = std::function<void(const SerialQueue& waiting, const SerialQueue& target)>;
  static MisuseHandler setMisuseHandler(MisuseHandler handler);

  ~SerialQueue();

  // Runs `callback` on this queue once, `seconds` from now (a non-positive delay posts it).
  std::shared_ptr<Timer> after(double seconds, std::function<void()> callback);
  // Runs `callback` on this queue every `interval` seconds, the first time one interval from
  // now. `interval` must be positive and finite (std::invalid_argument otherwise).
  std::shared_ptr<Timer> every(double interval, std::function<void()> callback);

 private:
  SerialQueue(asio::io_context& context, std::string label, std::shared_ptr<Clock> clock);
  std::shared_ptr<Timer> arm(double seconds, double interval, std::function<void()> callback);
  // Reports a `sync` from an item of another queue (see the threading contract).
  void checkMayWait() const;

  Executor strand_;
  std::string label_;
  std::shared_ptr<Clock> clock_;
};

}  // namespace ombrel
