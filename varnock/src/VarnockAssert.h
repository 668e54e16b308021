// Preconditions of the client interface; active in every build. Each check names
// a fixed source and line of its own, so that a report keeps meaning the same
// check however the file is edited.
#pragma once

#include <cstdio>
#include <cstdlib>

#define VARNOCK_ASSERT(expr, file, line)                                                               \
    do {                                                                                               \
        if (!(expr)) {                                                                                 \
            std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", #expr, file, line);     \
            std::abort();                                                                              \
        }                                                                                              \
    } while (0)
