// Property checks inside fuzz targets: a failed check aborts, which both
// libFuzzer and the corpus replay report as a finding.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                        \
  do {                                                               \
    if (!(condition)) {                                              \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, \
              #condition);                                           \
      abort();                                                       \
    }                                                                \
  } while (0)
