#pragma once

#include <cstdio>
#include <cstdlib>

// A broken invariant ends the run like a sanitizer report would: libFuzzer keeps the input that did it.
inline void require(bool holds, const char *what)
{
    if (holds)
        return;
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}
