#include "qor/Foundation/UniqueHandle.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace
{
    // Records every close instead of making one.
    std::vector<int> closed;

    struct RecordingTraits
    {
        using Handle = int;
        static int Invalid() noexcept { return -1; }
        static bool IsValid(int handle) noexcept { return handle >= 0; }
        static void Close(int handle) noexcept { closed.push_back(handle); }
    };
    using Owner = QOR::UniqueHandle<RecordingTraits>;
}

TEST(UniqueHandleTest, ClosesOnceAndMovesHandOwnershipOn)
{
    closed.clear();
    {
        Owner first(3);
        Owner second(std::move(first));
        EXPECT_FALSE(first);
        EXPECT_EQ(second.Get(), 3);

        Owner third(5);
        third = std::move(second); // closes 5, takes 3
        EXPECT_EQ(closed, std::vector<int>{5});
        EXPECT_EQ(third.Get(), 3);

        Owner released(7);
        EXPECT_EQ(released.Release(), 7);
        EXPECT_FALSE(released);

        third.Reset(8); // closes 3
        const Owner empty;
        EXPECT_FALSE(empty);
    }
    EXPECT_EQ(closed, (std::vector<int>{5, 3, 8})) << "each handle closed once, the released one never";
}
