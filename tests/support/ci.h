// Missing peers and fixtures: a test that cannot run here is skipped with the reason, except under
// CI (environment variable CI set and not empty), where everything it needs is installed and its
// absence fails the test instead of proving less in silence.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>

namespace quorlan::testing {

inline bool UnderCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && *ci != '\0';
}

}  // namespace quorlan::testing

// Skips the current test, or fails it under CI, with the message (a std::string expression).
// Use in the test body or in SetUp, like GTEST_SKIP.
#define SKIP_OR_FAIL_UNDER_CI(message)                                      \
  do {                                                                      \
    if (::quorlan::testing::UnderCi()) GTEST_FAIL() << "CI: " << (message); \
    GTEST_SKIP() << (message);                                              \
  } while (0)
