#pragma once

#include <cstdio>
#include <cstdlib>

namespace corvane::fuzz {

// A broken invariant is a finding like a crash: libFuzzer keeps the input.
inline void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

} // namespace corvane::fuzz
