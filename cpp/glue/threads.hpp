// How many native threads a call may use, and native work beside work under the GIL.
#pragma once

#include <nanobind/nanobind.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

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
    std::atomic<size_t> next{0};
    std::exception_ptr failure;
    std::mutex failure_lock;
    auto work = [&] {
        try {
            for (size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < n;) native(i);
        } catch (...) {
            next.store(n, std::memory_order_relaxed);
            std::lock_guard<std::mutex> hold(failure_lock);
            if (!failure) failure = std::current_exception();
        }
    };
    std::vector<std::thread> pool;
    const size_t helpers = threads > 1 ? std::min<size_t>(threads - 1, n) : 0;
    try {
        for (size_t t = 0; t < helpers; ++t) pool.emplace_back(work);
    } catch (const std::system_error &) {
        // no thread to be had: this one does it all after `held`
    }
    auto finish = [&] {
        nanobind::gil_scoped_release unlocked;
        work();
        for (std::thread &t : pool) t.join();
    };
    try {
        held();
    } catch (...) {
        next.store(n, std::memory_order_relaxed);
        finish();
        throw;
    }
    finish();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace glue
