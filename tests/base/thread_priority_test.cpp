#include "base/thread_priority.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
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

ThreadPriority raiseThreadPriorityOnAThread() {
  ThreadPriority got;
  std::thread([&] { got = raiseThreadPriority(ThreadRole::encoder); }).join();
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
      // CAP_SYS_NICE lifts both limits.
      {ThreadRole::encoder, {.canSetAnyPriority = true}, {Kind::realtime, 1}},
      {ThreadRole::capture, {.canSetAnyPriority = true}, {Kind::realtime, 2}},
      {ThreadRole::audio,
       {.niceLimit = 40, .rtprioLimit = 1, .canSetAnyPriority = true},
       {Kind::realtime, 3}},
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
  const ThreadPriority planned = plannedPriority(ThreadRole::encoder, PriorityLimits::current());
  ThreadPriority got;
  ThreadPriority seen;
  ThreadPriority child;
  std::thread([&] {
    got = raiseThreadPriority(ThreadRole::encoder);
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
      InheritedThreadPriority raised(ThreadRole::encoder);
      got = raised.obtained();
      std::thread([&] { worker = observed(); }).join();
    }
    after = observed();
    std::thread([&] { later = observed(); }).join();
  }).join();
  EXPECT_EQ(got, raiseThreadPriorityOnAThread()) << describe(got);
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

}  // namespace
}  // namespace ombrel
