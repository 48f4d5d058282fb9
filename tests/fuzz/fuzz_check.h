// What the fuzz targets share: a check that stops the run with the input that
// broke it, the same under libFuzzer and in the corpus replay.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                   \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);      \
            abort();                                                                            \
        }                                                                                       \
    } while (0)
