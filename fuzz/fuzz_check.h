// A broken promise of the code under fuzzing: abort, so that libFuzzer keeps
// the input. FUZZ_NAME, defined before this header, names the target.
#ifndef DORVANE_FUZZ_CHECK_H_
#define DORVANE_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, FUZZ_NAME ": check failed: %s\n", #cond);                              \
            abort();                                                                               \
        }                                                                                          \
    } while (0)

#endif // DORVANE_FUZZ_CHECK_H_
