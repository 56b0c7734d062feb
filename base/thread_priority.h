#pragma once

// Raised scheduling priority for the threads a late picture or a gap in the sound shows on: the
// capture and encoder threads, later the audio capture. Linux keeps the nice value and the
// policy per thread, so raising one thread leaves the rest of the process alone.
//
// What is asked for depends on what the process may do without asking anyone: SCHED_RR when
// RLIMIT_RTPRIO or CAP_SYS_NICE allow it, else the lowest nice value RLIMIT_NICE allows down to
// the role's target, else nothing. A refusal by the kernel (a container without a real-time
// budget) falls back one step. Threads and processes a raised thread starts begin at normal
// priority, except inside an `InheritedThreadPriority`.
//
// Threading: every function may be called from any thread; `raiseThreadPriority` changes only
// the calling thread.

#include <string>

namespace ombrel {

enum class ThreadRole { capture, encoder, audio };

// What the process may ask for, read from its rlimits and capabilities.
struct PriorityLimits {
  // Soft RLIMIT_NICE: the nice value may go down to 20 - niceLimit. Infinity reads as 40.
  long niceLimit = 0;
  // Soft RLIMIT_RTPRIO: the highest SCHED_RR priority allowed. Infinity reads as 99.
  long rtprioLimit = 0;
  // CAP_SYS_NICE in the effective set lifts both limits.
  bool canSetAnyPriority = false;

  static PriorityLimits current();
};

struct ThreadPriority {
  enum class Kind { normal, nice, realtime };
  Kind kind = Kind::normal;
  int value = 0;  // the nice value (negative) or the SCHED_RR priority; 0 when normal

  bool operator==(const ThreadPriority&) const = default;
};

// The priority a thread of `role` asks for under `limits`; no system call.
ThreadPriority plannedPriority(ThreadRole role, const PriorityLimits& limits);

// Raises the calling thread as far as the process's limits and the kernel allow and returns
// what it got. The first call of the process logs the outcome.
ThreadPriority raiseThreadPriority(ThreadRole role);

// For threads started by a library while it opens (a codec's workers), which no code of ours runs
// on: raises the calling thread, without the reset on fork, for the life of the scope, so the
// threads it starts meanwhile keep the raised priority; then puts the calling thread back as it
// was.
class InheritedThreadPriority {
 public:
  explicit InheritedThreadPriority(ThreadRole role);
  ~InheritedThreadPriority();
  InheritedThreadPriority(const InheritedThreadPriority&) = delete;
  InheritedThreadPriority& operator=(const InheritedThreadPriority&) = delete;

  const ThreadPriority& obtained() const { return obtained_; }

 private:
  int policy_;
  int realtime_ = 0;
  int nice_;
  ThreadPriority obtained_;
};

// "nice -10", "SCHED_RR priority 2", "normal priority".
std::string describe(const ThreadPriority& priority);

}  // namespace ombrel
