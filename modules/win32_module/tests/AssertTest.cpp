#include "qor/Foundation/Assert.h"

#include <gtest/gtest.h>

namespace
{
    int Check(bool ok)
    {
        QOR_ASSERT(ok);
        return 1;
    }
}

// The facility must stop the program even in release builds, naming the expression and the file.
TEST(AssertDeathTest, FailureNamesExpressionFileAndLineEvenInRelease)
{
    EXPECT_EQ(Check(true), 1);
    EXPECT_DEATH(Check(false), "Assertion failed: ok, file .*AssertTest\\.cpp, line 9");
}
