#include <csignal>

#include <gtest/gtest.h>

#include "package/package.h"

using namespace krel;

TEST(PanicDeathTest, PrintsTheMessageAndAborts)
{
    EXPECT_EXIT(consolePanic("bad state %d", 7), testing::KilledBySignal(SIGABRT), "panic:bad state 7");
}
