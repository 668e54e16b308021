// Preconditions of the client interface; active in every build.
#pragma once

#include <cstdio>
#include <cstdlib>

#define VARNOCK_ASSERT(expr)                                                                            \
    do {                                                                                                \
        if (!(expr)) {                                                                                  \
            std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", #expr, __FILE__, __LINE__); \
            std::abort();                                                                               \
        }                                                                                               \
    } while (0)
