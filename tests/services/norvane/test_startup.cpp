// The invocation name that start-up logs under.
#include "startup.h"

#include <gtest/gtest.h>

namespace {

TEST(Startup, InvocationNameIsArgumentZeroAsInvoked) {
  const char* fullPath[] = {"/usr/bin/norvane", nullptr};
  EXPECT_EQ(norvane::invocationName(1, fullPath), "/usr/bin/norvane");
}

TEST(Startup, MissingOrEmptyInvocationNameFallsBackToNorvane) {
  const char* none[] = {nullptr};
  const char* empty[] = {"", nullptr};
  EXPECT_EQ(norvane::invocationName(0, none), "norvane");
  EXPECT_EQ(norvane::invocationName(1, empty), "norvane");
}

}  // namespace
