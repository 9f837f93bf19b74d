// The invocation name and the logging options of start-up.
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

TEST(Startup, LogDirectoryTakesTheNameVerbatim) {
  EXPECT_EQ(norvane::loggerOptions("./bin/norvane"),
            "/P7.Sink=FileTxt /P7.Dir=/var/log/p7/./bin/norvane /P7.Roll=24hr /P7.Files=3 "
            "/P7.FSize=10 /P7.Trc.Verb=2");
}

}  // namespace
