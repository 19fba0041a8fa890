// Test support: waiting for a condition with a deadline, so that a condition that never
// comes fails the test with what it waited for instead of holding it until ctest's limit.
// Uses GoogleTest.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace nxtest {

// Polls `done` every `step` until it holds or `limit` has passed: success, or a failure
// that names what was awaited. Use as ASSERT_TRUE(nxtest::WaitUntil(...)).
template <class Done>
::testing::AssertionResult WaitUntil(Done done, std::chrono::milliseconds limit, const std::string& what,
                                     std::chrono::milliseconds step = std::chrono::milliseconds(2)) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= until)
      return ::testing::AssertionFailure() << "gave up after " << limit.count() << " ms waiting for " << what;
    std::this_thread::sleep_for(step);
  }
  return ::testing::AssertionSuccess();
}

}  // namespace nxtest
