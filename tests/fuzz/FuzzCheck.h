#pragma once

#include <cstdio>
#include <cstdlib>

// A failed expectation of a fuzz target: the fuzzer keeps the input that caused it.
inline void fuzzCheckAt(bool condition, const char* what, const char* file, int line) {
    if (condition)
        return;
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
}
#define check(condition) fuzzCheckAt((condition), #condition, __FILE__, __LINE__)
