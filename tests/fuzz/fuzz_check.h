#pragma once
// A failed check aborts: libFuzzer records a crash with its input, a replay test fails.

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                \
  ((condition)                                                                               \
       ? void()                                                                              \
       : (std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition), \
          std::abort()))
