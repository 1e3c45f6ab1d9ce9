// How many native threads a call may use, and native work beside work under the GIL.
#pragma once

#include "core/parallel.hpp"

#include <nanobind/nanobind.h>

#include <algorithm>
#include <cstddef>
#include <type_traits>

namespace glue {

// Never more threads than this, whatever is asked for.
inline constexpr long kMaxThreads = 1024;

// The threads a call uses when nothing caps them further: ORVANE_NUM_THREADS when it is set
// (ValueError, naming the variable, when it is not a positive whole number), else every core
// available to the process; at most kMaxThreads.
unsigned default_threads();

// native(0) .. native(n - 1) on up to `threads` threads while this thread, which holds the GIL,
// runs `held` (the gathers by reference); it then releases the GIL and takes its share of what is
// left. `native` touches no interpreter state. Exceptions reach the caller once every thread is done.
template <class Native, class Held>
void beside_held(size_t n, unsigned threads, Native &&native, Held &&held) {
    orvane::core::Tasks<std::remove_reference_t<Native>> tasks(n, native);
    tasks.start(threads > 1 ? std::min<size_t>(threads - 1, n) : 0);
    held();  // should it throw, the tasks are stopped and their threads joined as `tasks` goes
    nanobind::gil_scoped_release unlocked;
    tasks.finish();
}

}  // namespace glue
