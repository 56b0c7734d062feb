#pragma once

// Raised scheduling priority for the threads a late picture or a gap in the sound shows on: the
// capture and encoder threads, later the audio capture. Linux keeps the nice value and the
// policy per thread, so raising one thread leaves the rest of the process alone.
//
// The policy, for a host that shares few cores with everything else on the machine (the X server
// its capture waits on, a CI runner's parallel tests): only what the platform allows without
// privileges. SCHED_RR, at a low priority, only for the capture, encoder and audio threads and
// only as far as RLIMIT_RTPRIO grants it; those threads wait for each picture or chunk and never
// spin. CAP_SYS_NICE (root) does not make a thread real time: it only lifts RLIMIT_NICE, so root
// gets the nice target. The codec's workers, which compute for as long as a picture takes, get
// at most the nice target, never real time. Otherwise the lowest nice value RLIMIT_NICE allows
// down to the role's target, else nothing. A refusal by the kernel (a container without a
// real-time budget) falls back one step. Threads and processes a raised thread starts begin at
// normal priority, except inside an `InheritedThreadPriority` and from the encoder's thread
// (see `raiseThreadPriority`).
//
// Threading: every function may be called from any thread; `raiseThreadPriority` changes only
// the calling thread.

#include <string>

namespace ombrel {

enum class ThreadRole { capture, encoder, codecWorkers, audio };

// What the process may ask for, read from its rlimits and capabilities.
struct PriorityLimits {
  // Soft RLIMIT_NICE: the nice value may go down to 20 - niceLimit. Infinity reads as 40.
  long niceLimit = 0;
  // Soft RLIMIT_RTPRIO: the highest SCHED_RR priority allowed. Infinity reads as 99.
  long rtprioLimit = 0;
  // CAP_SYS_NICE in the effective set lifts the nice limit (and only that one).
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
// what it got. The first call of the process logs the outcome and the policy. The encoder's
// thread keeps threads it starts at its own priority: it reopens the codec inside an
// `InheritedThreadPriority` (for a new bit rate), and a thread without CAP_SYS_NICE cannot take
// the reset on fork off again once set.
ThreadPriority raiseThreadPriority(ThreadRole role);

// For threads started by a library while it opens (a codec's workers), which no code of ours runs
// on: sets the calling thread to `role`'s priority (a real-time thread comes down to it),
// without the reset on fork, for the life of the scope, so the threads it starts meanwhile
// keep that priority; then puts the calling thread back as it was.
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
