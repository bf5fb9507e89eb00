#include "qor/Foundation/Assert.h"

#include <cstdio>
#include <cstdlib>

namespace QOR::Detail
{
    void AssertionFailed(const char* expression, const char* file, int line) noexcept
    {
        std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", expression, file, line);
        std::fflush(stderr);
        std::abort();
    }
}
