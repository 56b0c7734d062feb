#pragma once

// A test whose runtime runs on a ManualClock: timers fire only when the test advances it.

#include <gtest/gtest.h>

#include <memory>
#include <type_traits>
#include <utility>

#include "base/clock.h"
#include "base/runtime.h"

namespace ombrel::test {

class ManualRuntimeTest : public ::testing::Test {
 protected:
  explicit ManualRuntimeTest(int threads = 2) {
    Runtime::Options options;
    options.threads = threads;
    options.clock = clock;
    runtime = std::make_unique<Runtime>(options);
  }

  template <typename F>
  auto onMain(F&& work) -> std::invoke_result_t<F> {
    return runtime->mainQueue()->sync(std::forward<F>(work));
  }

  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  std::unique_ptr<Runtime> runtime;
};

}  // namespace ombrel::test
