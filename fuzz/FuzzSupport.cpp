#include "ReferenceUtf8.h"

#include <cstdio>
#include <cstdlib>

namespace QOR::Fuzzing
{
    void Fail(const char* what)
    {
        std::fprintf(stderr, "fuzz check failed: %s\n", what);
        std::fflush(stderr);
        std::abort();
    }
}
