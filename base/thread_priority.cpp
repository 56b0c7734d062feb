#include "base/thread_priority.h"

#include <linux/capability.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "base/log.h"

namespace ombrel {
namespace {

struct RoleTarget {
  int nice;
  int realtime;
};

// Low real-time priorities: ahead of every normal thread, behind the kernel's threads and the
// sound server's own (PipeWire and PulseAudio ask for 20). The sound is the most sensitive, a
// late chunk is heard; a capture waiting behind the encoder delays the next picture, so it
// goes ahead of it. The nice target matches what sound servers take without real time.
RoleTarget targetFor(ThreadRole role) {
  switch (role) {
    case ThreadRole::capture:
      return {.nice = -10, .realtime = 2};
    case ThreadRole::encoder:
      return {.nice = -10, .realtime = 1};
    case ThreadRole::audio:
      return {.nice = -11, .realtime = 3};
  }
  return {.nice = 0, .realtime = 0};
}

constexpr long maxNiceLimit = 40;  // nice -20
constexpr long maxRealtime = 99;

long readLimit(int resource, long infinity) {
  rlimit limit{};
  if (getrlimit(resource, &limit) != 0) return 0;
  if (limit.rlim_cur == RLIM_INFINITY) return infinity;
  return static_cast<long>(std::min<rlim_t>(limit.rlim_cur, static_cast<rlim_t>(infinity)));
}

bool hasSysNice() {
  __user_cap_header_struct header{.version = _LINUX_CAPABILITY_VERSION_3, .pid = 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  return (data[CAP_TO_INDEX(CAP_SYS_NICE)].effective & CAP_TO_MASK(CAP_SYS_NICE)) != 0;
}

ThreadPriority plannedNice(ThreadRole role, const PriorityLimits& limits) {
  const long allowed =
      limits.canSetAnyPriority ? maxNiceLimit : std::clamp(limits.niceLimit, 0L, maxNiceLimit);
  const long floor = 20 - allowed;
  if (floor >= 0) return {};
  return {.kind = ThreadPriority::Kind::nice,
          .value = static_cast<int>(std::max<long>(targetFor(role).nice, floor))};
}

// Unless they are meant to inherit it, threads and processes this thread starts begin at normal
// priority: a helper it spawns must not inherit a real-time policy or a nice value nobody chose
// for it. Setting the flag needs no privilege.
bool setPolicy(int policy, int priority, bool inheritable) {
  sched_param param{};
  param.sched_priority = priority;
  return sched_setscheduler(0, inheritable ? policy : policy | SCHED_RESET_ON_FORK, &param) == 0;
}

void logOnce(const ThreadPriority& got, const std::string& why) {
  static std::atomic<bool> logged{false};
  if (logged.exchange(true)) return;
  std::string text = "Ombrel Remote: capture/encoder threads run at " + describe(got);
  if (got.kind == ThreadPriority::Kind::normal) text += ": " + why;
  log::line(text);
}

ThreadPriority raise(ThreadRole role, bool inheritable) {
  const PriorityLimits limits = PriorityLimits::current();
  ThreadPriority wanted = plannedPriority(role, limits);
  std::string why = "RLIMIT_NICE allows none";
  if (wanted.kind == ThreadPriority::Kind::realtime) {
    if (setPolicy(SCHED_RR, wanted.value, inheritable)) {
      logOnce(wanted, why);
      return wanted;
    }
    // A container may lack the real-time budget the limits promise.
    why = std::string("SCHED_RR refused (") + std::strerror(errno) + ")";
    wanted = plannedNice(role, limits);
  }
  ThreadPriority got;
  if (wanted.kind == ThreadPriority::Kind::nice) {
    const auto tid = static_cast<id_t>(gettid());
    errno = 0;
    const int now = getpriority(PRIO_PROCESS, tid);
    if (errno == 0 && now <= wanted.value) {
      // Already as high: started under nice by whoever launched the host.
      got = {.kind = ThreadPriority::Kind::nice, .value = now};
    } else if (setPolicy(SCHED_OTHER, 0, inheritable) &&
               setpriority(PRIO_PROCESS, tid, wanted.value) == 0) {
      got = wanted;
    } else {
      why = std::string("setpriority refused (") + std::strerror(errno) + ")";
    }
  }
  logOnce(got, why);
  return got;
}

}  // namespace

PriorityLimits PriorityLimits::current() {
  return {.niceLimit = readLimit(RLIMIT_NICE, maxNiceLimit),
          .rtprioLimit = readLimit(RLIMIT_RTPRIO, maxRealtime),
          .canSetAnyPriority = hasSysNice()};
}

ThreadPriority plannedPriority(ThreadRole role, const PriorityLimits& limits) {
  const long realtimeAllowed =
      limits.canSetAnyPriority ? maxRealtime : std::clamp(limits.rtprioLimit, 0L, maxRealtime);
  if (realtimeAllowed >= 1) {
    return {.kind = ThreadPriority::Kind::realtime,
            .value = static_cast<int>(std::min<long>(targetFor(role).realtime, realtimeAllowed))};
  }
  return plannedNice(role, limits);
}

ThreadPriority raiseThreadPriority(ThreadRole role) { return raise(role, false); }

InheritedThreadPriority::InheritedThreadPriority(ThreadRole role)
    : policy_(sched_getscheduler(0)), nice_(0) {
  sched_param param{};
  sched_getparam(0, &param);
  realtime_ = param.sched_priority;
  errno = 0;
  nice_ = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
  if (errno != 0 || policy_ < 0) return;  // nothing known to go back to: leave the thread alone
  obtained_ = raise(role, true);
}

InheritedThreadPriority::~InheritedThreadPriority() {
  if (obtained_.kind == ThreadPriority::Kind::normal) return;
  // Lowering needs no privilege.
  sched_param param{};
  param.sched_priority = realtime_;
  sched_setscheduler(0, policy_, &param);
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice_);
}

std::string describe(const ThreadPriority& priority) {
  switch (priority.kind) {
    case ThreadPriority::Kind::nice:
      return "nice " + std::to_string(priority.value);
    case ThreadPriority::Kind::realtime:
      return "SCHED_RR priority " + std::to_string(priority.value);
    case ThreadPriority::Kind::normal:
      break;
  }
  return "normal priority";
}

}  // namespace ombrel
