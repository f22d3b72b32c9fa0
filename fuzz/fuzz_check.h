// What every fuzz target shares: its entry point, and a check that stops the run with a message
// when an invariant breaks, so that libFuzzer keeps the input that broke it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

#define QEL_FUZZ_CHECK(condition, ...)                                                         \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s: ", __FILE__, __LINE__, #condition); \
            std::fprintf(stderr, __VA_ARGS__);                                                 \
            std::fputc('\n', stderr);                                                          \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)
