#pragma once
// A failed check aborts: libFuzzer records a crash with its input, a replay test fails.
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(c) \
  ((c) ? void()       \
       : (std::fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #c), std::abort()))
