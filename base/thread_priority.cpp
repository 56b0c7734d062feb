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
// goes ahead of it. The nice target matches what sound servers take without real time. The
// codec's workers never get real time (0): they compute for as long as a picture takes, on
// every core, and a real-time thread that busy takes its core from everything else, the X
// server the capture waits on included, until the kernel's throttling (sched_rt_runtime_us,
// 95 % by default) cuts in.
RoleTarget targetFor(ThreadRole role) {
  switch (role) {
    case ThreadRole::capture:
      return {.nice = -10, .realtime = 2};
    case ThreadRole::encoder:
      return {.nice = -10, .realtime = 1};
    case ThreadRole::codecWorkers:
      return {.nice = -10, .realtime = 0};
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

const char* const policyText =
    "real time only within RLIMIT_RTPRIO, never for the codec's workers; nice within "
    "RLIMIT_NICE";

// One line for the process, from the first capture, encoder or audio thread (the codec's workers
// are raised first, while the encoder opens, but what the line tells is the threads' own
// priority): what that thread got and, for a raise, the policy behind it.
void logOnce(ThreadRole role, const ThreadPriority& got, const PriorityLimits& limits,
             const std::string& why) {
  if (role == ThreadRole::codecWorkers) return;
  static std::atomic<bool> logged{false};
  if (logged.exchange(true)) return;
  std::string text = "Ombrel Remote: capture/encoder threads run at " + describe(got);
  if (got.kind == ThreadPriority::Kind::normal) {
    log::line(text + ": " + why);
    return;
  }
  text += ", the codec's workers at " +
          describe(plannedPriority(ThreadRole::codecWorkers, limits)) + " (" + policyText;
  if (!why.empty()) text += "; " + why;
  log::line(text + ")");
}

ThreadPriority raise(ThreadRole role, bool inheritable) {
  const PriorityLimits limits = PriorityLimits::current();
  ThreadPriority wanted = plannedPriority(role, limits);
  std::string why;
  if (wanted.kind == ThreadPriority::Kind::realtime) {
    if (setPolicy(SCHED_RR, wanted.value, inheritable)) {
      logOnce(role, wanted, limits, why);
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
    // Set even when the thread is already as high (started under nice by whoever launched the
    // host): it may still be real time, or carry the reset on fork where it must not.
    const int value = errno == 0 ? std::min(now, wanted.value) : wanted.value;
    if (setPolicy(SCHED_OTHER, 0, inheritable) && setpriority(PRIO_PROCESS, tid, value) == 0) {
      got = {.kind = ThreadPriority::Kind::nice, .value = value};
    } else {
      why = std::string("setpriority refused (") + std::strerror(errno) + ")";
    }
  } else {
    if (why.empty()) why = "RLIMIT_NICE allows none";
    // Threads started in the scope must not inherit a real-time policy this thread holds for
    // itself; coming down needs no privilege.
    if (inheritable) setPolicy(SCHED_OTHER, 0, true);
  }
  logOnce(role, got, limits, why);
  return got;
}

}  // namespace

PriorityLimits PriorityLimits::current() {
  return {.niceLimit = readLimit(RLIMIT_NICE, maxNiceLimit),
          .rtprioLimit = readLimit(RLIMIT_RTPRIO, maxRealtime),
          .canSetAnyPriority = hasSysNice()};
}

ThreadPriority plannedPriority(ThreadRole role, const PriorityLimits& limits) {
  // CAP_SYS_NICE does not count here: a host running as root (a CI runner, a container, a
  // system service) would otherwise take real time that nobody granted it.
  const long realtimeAllowed = std::clamp(limits.rtprioLimit, 0L, maxRealtime);
  const int target = targetFor(role).realtime;
  if (target >= 1 && realtimeAllowed >= 1) {
    return {.kind = ThreadPriority::Kind::realtime,
            .value = static_cast<int>(std::min<long>(target, realtimeAllowed))};
  }
  return plannedNice(role, limits);
}

ThreadPriority raiseThreadPriority(ThreadRole role) {
  return raise(role, role == ThreadRole::encoder);
}

InheritedThreadPriority::InheritedThreadPriority(ThreadRole role)
    : policy_(sched_getscheduler(0)), nice_(0) {
  sched_param param{};
  sched_getparam(0, &param);
  realtime_ = param.sched_priority;
  errno = 0;
  nice_ = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
  if (errno != 0 || policy_ < 0) {
    policy_ = -1;  // nothing known to go back to: leave the thread alone
    return;
  }
  obtained_ = raise(role, true);
}

InheritedThreadPriority::~InheritedThreadPriority() {
  // Even after a refusal: a real-time thread may have come down before the nice value was refused.
  if (policy_ < 0) return;
  // Within what the thread held: lowering needs no privilege, and a real-time policy it had came
  // from its own RLIMIT_RTPRIO.
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
