// A parallel loop over task indices on native threads: no interpreter state is touched, so callers
// release the GIL around it.
#pragma once

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace orvane::core {

// Calls fn(0) .. fn(n - 1) on up to `threads` threads (the caller's included), each index once,
// taken in ascending order. With one thread (or one task) everything runs on the caller's thread.
// The first exception thrown by fn stops the handing out of further indices and is rethrown here
// once every thread has finished.
template <class Fn>
void parallel_for(size_t n, unsigned threads, Fn &&fn) {
    const size_t workers = std::min<size_t>(std::max(threads, 1u), n);
    if (workers <= 1) {
        for (size_t i = 0; i < n; ++i) fn(i);
        return;
    }
    std::atomic<size_t> next{0};
    std::exception_ptr failure;
    std::mutex failure_lock;
    auto work = [&] {
        try {
            for (size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < n;) fn(i);
        } catch (...) {
            next.store(n, std::memory_order_relaxed);
            std::lock_guard<std::mutex> hold(failure_lock);
            if (!failure) failure = std::current_exception();
        }
    };
    std::vector<std::thread> pool;
    pool.reserve(workers - 1);
    try {
        for (size_t w = 1; w < workers; ++w) pool.emplace_back(work);
    } catch (...) {
        // no more threads to be had: the ones started and this one finish the loop
    }
    work();
    for (std::thread &t : pool) t.join();
    if (failure) std::rethrow_exception(failure);
}

// produce(b, e) over [0, n), block by block, on a second thread running ahead of consume(b, e) on
// the caller's thread, which takes each block once it has been produced. Neither may throw. With
// one thread, fewer than `at_least` values, or no thread to be had, each block is produced and
// then consumed in turn on the caller's thread.
template <class Produce, class Consume>
void pipelined(size_t n, unsigned threads, size_t block, size_t at_least, Produce &&produce, Consume &&consume) {
    auto in_turn = [&] {
        for (size_t b = 0; b < n; b += block) {
            const size_t e = std::min(n, b + block);
            produce(b, e);
            consume(b, e);
        }
    };
    if (threads < 2 || n < at_least) return in_turn();
    std::atomic<size_t> made{0};
    std::thread producer;
    try {
        producer = std::thread([&] {
            for (size_t b = 0; b < n; b += block) {
                const size_t e = std::min(n, b + block);
                produce(b, e);
                made.store(e, std::memory_order_release);
            }
        });
    } catch (const std::system_error &) {
        return in_turn();
    }
    for (size_t b = 0; b < n; b += block) {
        const size_t e = std::min(n, b + block);
        for (unsigned spins = 0; made.load(std::memory_order_acquire) < e; ++spins)
            if (spins >= 64) std::this_thread::yield();
        consume(b, e);
    }
    producer.join();
}

// Cores this process may run on (its CPU affinity), at least 1.
inline unsigned available_cores() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(CPU_COUNT(&set), 1);
    return std::max(std::thread::hardware_concurrency(), 1u);
}

}  // namespace orvane::core
