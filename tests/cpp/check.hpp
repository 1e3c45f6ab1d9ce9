// The few lines every core test driver shares: a named check that counts failures, and the exit.
#pragma once

#include <cstdio>

namespace core_test {

inline int failures = 0;

inline void check(bool ok, const char *what) {
    if (ok) return;
    ++failures;
    std::printf("FAILED %s\n", what);
}

// The driver's exit status, with a line saying all passed.
inline int finish(const char *unit) {
    if (failures == 0) std::printf("%s: all passed\n", unit);
    return failures == 0 ? 0 : 1;
}

}  // namespace core_test
