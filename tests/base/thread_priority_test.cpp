#include "base/thread_priority.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "base/log.h"

namespace ombrel {
namespace {

using Kind = ThreadPriority::Kind;

// The calling thread's scheduling as the kernel reports it.
ThreadPriority observed() {
  const int policy = sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
  if (policy == SCHED_RR) {
    sched_param param{};
    sched_getparam(0, &param);
    return {.kind = Kind::realtime, .value = param.sched_priority};
  }
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
  if (policy == SCHED_OTHER && errno == 0 && nice < 0) return {.kind = Kind::nice, .value = nice};
  return {.kind = Kind::normal, .value = policy == SCHED_OTHER ? nice : -1000 - policy};
}

ThreadPriority raiseThreadPriorityOnAThread(ThreadRole role) {
  ThreadPriority got;
  std::thread([&] { got = raiseThreadPriority(role); }).join();
  return got;
}

TEST(ThreadPriorityTest, LimitsDecideWhatIsAskedFor) {
  struct Case {
    ThreadRole role;
    PriorityLimits limits;
    ThreadPriority wanted;
  };
  const Case cases[] = {
      // Nothing allowed: left alone.
      {ThreadRole::encoder, {.niceLimit = 0, .rtprioLimit = 0}, {}},
      {ThreadRole::capture, {.niceLimit = 20, .rtprioLimit = 0}, {}},
      // RLIMIT_NICE 21 allows nice -1; the target is taken only as far as the limit goes.
      {ThreadRole::encoder, {.niceLimit = 21}, {Kind::nice, -1}},
      {ThreadRole::capture, {.niceLimit = 25}, {Kind::nice, -5}},
      {ThreadRole::capture, {.niceLimit = 30}, {Kind::nice, -10}},
      {ThreadRole::encoder, {.niceLimit = 40}, {Kind::nice, -10}},
      {ThreadRole::audio, {.niceLimit = 40}, {Kind::nice, -11}},
      {ThreadRole::audio, {.niceLimit = 1000}, {Kind::nice, -11}},
      {ThreadRole::audio, {.niceLimit = -5}, {}},
      // Any real-time priority allowed wins over nice, capped by the limit.
      {ThreadRole::encoder, {.niceLimit = 40, .rtprioLimit = 1}, {Kind::realtime, 1}},
      {ThreadRole::capture, {.niceLimit = 0, .rtprioLimit = 1}, {Kind::realtime, 1}},
      {ThreadRole::capture, {.niceLimit = 0, .rtprioLimit = 99}, {Kind::realtime, 2}},
      {ThreadRole::audio, {.rtprioLimit = 2}, {Kind::realtime, 2}},
      {ThreadRole::audio, {.rtprioLimit = 95}, {Kind::realtime, 3}},
      {ThreadRole::encoder, {.rtprioLimit = -1}, {}},
      // The codec's workers compute flat out: never real time, only nice.
      {ThreadRole::codecWorkers, {.niceLimit = 40, .rtprioLimit = 99}, {Kind::nice, -10}},
      {ThreadRole::codecWorkers, {.niceLimit = 25, .rtprioLimit = 99}, {Kind::nice, -5}},
      {ThreadRole::codecWorkers, {.niceLimit = 0, .rtprioLimit = 99}, {}},
      {ThreadRole::codecWorkers, {.rtprioLimit = 99, .canSetAnyPriority = true}, {Kind::nice, -10}},
      // CAP_SYS_NICE (root) lifts the nice limit only: real time needs RLIMIT_RTPRIO.
      {ThreadRole::encoder, {.canSetAnyPriority = true}, {Kind::nice, -10}},
      {ThreadRole::capture, {.canSetAnyPriority = true}, {Kind::nice, -10}},
      {ThreadRole::audio, {.canSetAnyPriority = true}, {Kind::nice, -11}},
      {ThreadRole::audio,
       {.niceLimit = 40, .rtprioLimit = 1, .canSetAnyPriority = true},
       {Kind::realtime, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("role " + std::to_string(static_cast<int>(c.role)) + " nice limit " +
                 std::to_string(c.limits.niceLimit) + " rtprio limit " +
                 std::to_string(c.limits.rtprioLimit) + " cap " +
                 std::to_string(c.limits.canSetAnyPriority));
    const ThreadPriority got = plannedPriority(c.role, c.limits);
    EXPECT_EQ(got.kind, c.wanted.kind);
    EXPECT_EQ(got.value, c.wanted.value);
  }
}

// On this machine, with whatever limits the process really has: the thread ends where the
// plan says (or, if the kernel refuses real time, at the nice fallback), only that thread
// changes, and a thread it starts begins at normal priority.
TEST(ThreadPriorityTest, RaisesOnlyTheCallingThreadAsTheLimitsAllow) {
  const ThreadPriority before = observed();
  const ThreadPriority planned = plannedPriority(ThreadRole::capture, PriorityLimits::current());
  ThreadPriority got;
  ThreadPriority seen;
  ThreadPriority child;
  std::thread([&] {
    got = raiseThreadPriority(ThreadRole::capture);
    seen = observed();
    std::thread([&] { child = observed(); }).join();
  }).join();
  if (planned.kind == Kind::realtime && got.kind != Kind::realtime) {
    // A container without a real-time budget: the same limits still allow a nice value.
    EXPECT_EQ(got.kind, Kind::nice) << describe(got);
  } else {
    EXPECT_EQ(got, planned) << describe(got) << " vs " << describe(planned);
  }
  if (got.kind != Kind::normal) {
    EXPECT_EQ(seen, got) << describe(seen);
  }
  EXPECT_EQ(observed(), before);
  EXPECT_EQ(child.kind, Kind::normal) << describe(child);
}

// A codec's workers started inside the scope keep the raise; the thread that opened the codec
// (a pool thread) goes back to what it was, and what it starts afterwards is normal again.
TEST(ThreadPriorityTest, ThreadsStartedInsideTheScopeInheritTheRaise) {
  ThreadPriority got;
  ThreadPriority before;
  ThreadPriority worker;
  ThreadPriority after;
  ThreadPriority later;
  std::thread([&] {
    before = observed();
    {
      InheritedThreadPriority raised(ThreadRole::codecWorkers);
      got = raised.obtained();
      std::thread([&] { worker = observed(); }).join();
    }
    after = observed();
    std::thread([&] { later = observed(); }).join();
  }).join();
  EXPECT_EQ(got, raiseThreadPriorityOnAThread(ThreadRole::codecWorkers)) << describe(got);
  if (got.kind != Kind::normal) {
    EXPECT_EQ(worker, got) << describe(worker);
  }
  EXPECT_EQ(after, before) << describe(after);
  EXPECT_EQ(later, before) << describe(later);
}

bool dropSysNice() {
  __user_cap_header_struct header{.version = _LINUX_CAPABILITY_VERSION_3, .pid = 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  data[CAP_TO_INDEX(CAP_SYS_NICE)].effective &= ~CAP_TO_MASK(CAP_SYS_NICE);
  return syscall(SYS_capset, &header, data) == 0;
}

// Codes the child exits with; the bits add up.
enum ChildFault { wrongResult = 1, changed = 2, wrongLine = 4, loggedTwice = 8, noLowering = 16 };

int raiseWithNothingAllowed() {
  const rlimit none{0, 0};
  if (!dropSysNice() || setrlimit(RLIMIT_NICE, &none) != 0 ||
      setrlimit(RLIMIT_RTPRIO, &none) != 0) {
    return noLowering;
  }
  std::string logged;
  log::setSink([&](std::string_view line) { logged += std::string(line) + "\n"; });
  const ThreadPriority before = observed();
  int faults = 0;
  if (raiseThreadPriority(ThreadRole::capture) != ThreadPriority{}) faults |= wrongResult;
  if (observed() != before) faults |= changed;
  if (logged !=
      "Ombrel Remote: capture/encoder threads run at normal priority: RLIMIT_NICE "
      "allows none\n") {
    faults |= wrongLine;
  }
  {
    InheritedThreadPriority raised(ThreadRole::encoder);
    if (raised.obtained() != ThreadPriority{}) faults |= wrongResult;
    if (observed() != before) faults |= changed;
  }
  if (observed() != before) faults |= changed;
  raiseThreadPriority(ThreadRole::encoder);
  if (logged.find('\n') + 1 != logged.size()) faults |= loggedTwice;
  return faults;
}

// Lowering the limits needs no privilege, so a fresh process can always show the path where
// nothing is allowed: normal priority reported and logged once, and nothing changed.
TEST(ThreadPriorityTest, NothingAllowedReportsNormalAndChangesNothing) {
  // A re-executed process: the once-per-process line must not have been written yet.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(_exit(raiseWithNothingAllowed()), testing::ExitedWithCode(0), "");
}

// What the encoder goes through in a process with `limits`: the first opening on another thread,
// its own thread's raise, a reopen of the codec that starts workers, and after it. CAP_SYS_NICE is
// kept only where the limits say so (as for root). Returns the faults, or `cannotSet` where the
// hard limits cannot be raised (that needs CAP_SYS_RESOURCE).
enum ReopenFault { ownWrong = 1, workerWrong = 2, afterWrong = 4, lineWrong = 8, cannotSet = 64 };

int reopenUnder(const PriorityLimits& limits) {
  const rlimit nice{rlim_t(limits.niceLimit), rlim_t(limits.niceLimit)};
  const rlimit realtime{rlim_t(limits.rtprioLimit), rlim_t(limits.rtprioLimit)};
  if (setrlimit(RLIMIT_NICE, &nice) != 0 || setrlimit(RLIMIT_RTPRIO, &realtime) != 0 ||
      (!limits.canSetAnyPriority && !dropSysNice())) {
    return cannotSet;
  }
  std::string logged;
  log::setSink([&](std::string_view line) { logged += std::string(line); });
  ThreadPriority first, own, worker, after;
  {
    // As the encoder opens on a pool thread, before its own thread starts.
    InheritedThreadPriority opening(ThreadRole::codecWorkers);
    std::thread([&] { first = observed(); }).join();
  }
  std::thread([&] {
    own = raiseThreadPriority(ThreadRole::encoder);
    {
      InheritedThreadPriority workers(ThreadRole::codecWorkers);
      std::thread([&] { worker = observed(); }).join();
    }
    after = observed();
  }).join();
  ThreadPriority planned = plannedPriority(ThreadRole::encoder, limits);
  if (planned.kind == Kind::realtime && own.kind != Kind::realtime) {
    // A container without a real-time budget: the nice the same limits allow.
    planned = plannedPriority(ThreadRole::encoder, {.niceLimit = limits.niceLimit});
  }
  int faults = 0;
  if (own != planned) faults |= ownWrong;
  const ThreadPriority workers = plannedPriority(ThreadRole::codecWorkers, limits);
  if (first != workers || worker != workers) faults |= workerWrong;
  if (after != own) faults |= afterWrong;
  // The policy is in the line, not only the outcome, and the line tells the encoder's thread's
  // priority although the workers were raised first.
  const std::string expected =
      own.kind == Kind::normal
          ? "Ombrel Remote: capture/encoder threads run at normal priority: RLIMIT_NICE allows none"
          : "Ombrel Remote: capture/encoder threads run at " + describe(own) +
                ", the codec's workers at " + describe(worker) +
                " (real time only within RLIMIT_RTPRIO, never for the codec's workers";
  if (logged.rfind(expected, 0) != 0) faults |= lineWrong;
  return faults;
}

// The encoder's thread reopens the codec for a new bit rate: the new workers must get the
// workers' priority (nice, never real time) as the first ones did, and the encoder's thread keeps
// its own, also without privilege, where the reset on fork cannot be taken off again. Each case
// is a fresh process, which may lower its limits and drop the capability for good.
TEST(ThreadPriorityTest, WorkersAReopeningEncoderStartsGetTheWorkersPriority) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const PriorityLimits cases[] = {
      {.canSetAnyPriority = true},          // root: nice, no real time
      {.niceLimit = 30},                    // nice only
      {.niceLimit = 30, .rtprioLimit = 5},  // real time granted by RLIMIT_RTPRIO
      {.niceLimit = 0, .rtprioLimit = 5},   // real time but no nice: the workers stay normal
      {.niceLimit = 0, .rtprioLimit = 0},   // nothing
  };
  for (const PriorityLimits& limits : cases) {
    SCOPED_TRACE("nice limit " + std::to_string(limits.niceLimit) + " rtprio limit " +
                 std::to_string(limits.rtprioLimit) + " cap " +
                 std::to_string(limits.canSetAnyPriority));
    if (limits.canSetAnyPriority && !PriorityLimits::current().canSetAnyPriority) continue;
    EXPECT_EXIT(
        _exit(reopenUnder(limits)),
        [](int status) {
          return WIFEXITED(status) &&
                 (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == cannotSet);
        },
        "");
  }
}

}  // namespace
}  // namespace ombrel
