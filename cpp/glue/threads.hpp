// How many native threads a call may use.
#pragma once

namespace glue {

// Never more threads than this, whatever is asked for.
inline constexpr long kMaxThreads = 1024;

// The threads a call uses when nothing caps them further: ORVANE_NUM_THREADS when it is set
// (ValueError, naming the variable, when it is not a positive whole number), else every core
// available to the process; at most kMaxThreads.
unsigned default_threads();

}  // namespace glue
