#pragma once

#include <cstdio>
#include <cstdlib>

namespace QOR::Fuzzing
{
    // Stops the run with a message libFuzzer's crash report shows.
    [[noreturn]] inline void Fail(const char* what)
    {
        std::fprintf(stderr, "fuzz check failed: %s\n", what);
        std::fflush(stderr);
        std::abort();
    }
}
