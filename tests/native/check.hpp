// A minimal check macro for the native test programs: failures are counted
// and reported, and main() turns the count into the exit status.
#pragma once

#include <cstdio>

inline int failures = 0;

#define CHECK(cond)                                                                       \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                                   \
        }                                                                                 \
    } while (0)
