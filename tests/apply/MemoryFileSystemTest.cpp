#include "MemoryFileSystem.h"

#include <gtest/gtest.h>

TEST(MemoryFileSystem, Placeholder)
{
    QOR::Testing::MemoryFileSystem fs;
    fs.Build({{"a/b", "x"}});
    EXPECT_EQ(fs.ReadFile("a/b"), "x");
}
