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
#include <type_traits>
#include <vector>

namespace orvane::core {

// Tasks fn(0) .. fn(n - 1), each index once, handed out in ascending order to the caller's thread
// and the ones start() adds. The first exception a task throws stops the handing out and is kept
// for finish() to rethrow once every thread is done. Threads still running when the object goes
// (an exception on the caller's side) are stopped and joined.
template <class Fn>
class Tasks {
public:
    Tasks(size_t n, Fn &fn) : n_(n), fn_(fn) {}
    Tasks(const Tasks &) = delete;
    Tasks &operator=(const Tasks &) = delete;
    ~Tasks() {
        stop();
        join();
    }

    // Up to `count` more threads on the tasks; fewer when no more can be had.
    void start(size_t count) {
        pool_.reserve(count);
        try {
            for (size_t t = 0; t < count; ++t) pool_.emplace_back([this] { work(); });
        } catch (const std::system_error &) {
            // no more threads to be had: the ones started and the caller's finish the tasks
        }
    }
    // The caller's share, then every thread joined and the first failure rethrown.
    void finish() {
        work();
        join();
        if (failure_) std::rethrow_exception(failure_);
    }

private:
    void work() {
        try {
            for (size_t i; (i = next_.fetch_add(1, std::memory_order_relaxed)) < n_;) fn_(i);
        } catch (...) {
            stop();  // kept and rethrown by finish(), whatever it is
            std::lock_guard<std::mutex> hold(failure_lock_);
            if (!failure_) failure_ = std::current_exception();
        }
    }
    void stop() { next_.store(n_, std::memory_order_relaxed); }
    void join() {
        for (std::thread &t : pool_)
            if (t.joinable()) t.join();
    }

    size_t n_;
    Fn &fn_;
    std::atomic<size_t> next_{0};
    std::exception_ptr failure_;
    std::mutex failure_lock_;
    std::vector<std::thread> pool_;
};

// Calls fn(0) .. fn(n - 1) on up to `threads` threads (the caller's included), as Tasks hands
// them out. With one thread (or one task) everything runs on the caller's thread.
template <class Fn>
void parallel_for(size_t n, unsigned threads, Fn &&fn) {
    const size_t workers = std::min<size_t>(std::max(threads, 1u), n);
    if (workers <= 1) {
        for (size_t i = 0; i < n; ++i) fn(i);
        return;
    }
    Tasks<std::remove_reference_t<Fn>> tasks(n, fn);
    tasks.start(workers - 1);
    tasks.finish();
}

// Blocks [b, e) of [0, n), `block` values each, consumed in order on the caller's thread. A second
// thread produces blocks ahead of it: produce(b, e), then the caller's consume(b, e). A block that
// no thread has begun when the caller reaches it, the caller takes whole: both(b, e) produces and
// consumes it at once. A caller kept waiting for its block (producing is the slower part, as when
// it reads memory faster than one core can) produces the next unbegun block meanwhile, so that
// both threads produce. With one thread, fewer than `at_least` values, or no thread to be had,
// every block is both(b, e) on the caller's thread. None of the three may throw.
template <class Produce, class Consume, class Both>
void pipelined(size_t n, unsigned threads, size_t block, size_t at_least, Produce &&produce, Consume &&consume,
               Both &&both) {
    const size_t blocks = (n + block - 1) / block;
    auto range = [&](size_t k, auto &&f) { f(k * block, std::min(n, (k + 1) * block)); };
    if (threads < 2 || n < at_least) {
        for (size_t k = 0; k < blocks; ++k) range(k, both);
        return;
    }
    std::atomic<size_t> next{0};  // the first block no thread has begun
    std::vector<std::atomic<bool>> made(blocks);
    std::thread producer;
    try {
        producer = std::thread([&] {
            for (size_t k; (k = next.fetch_add(1, std::memory_order_relaxed)) < blocks;) {
                range(k, produce);
                made[k].store(true, std::memory_order_release);
            }
        });
    } catch (const std::system_error &) {
        // no thread to be had: the caller takes every block itself below
    }
    for (size_t k = 0; k < blocks; ++k) {
        size_t unbegun = k;
        if (next.compare_exchange_strong(unbegun, k + 1, std::memory_order_relaxed)) {
            range(k, both);
            continue;
        }
        for (unsigned spins = 0; !made[k].load(std::memory_order_acquire); ++spins) {
            size_t ahead = next.load(std::memory_order_relaxed);
            if (ahead < blocks && next.compare_exchange_strong(ahead, ahead + 1, std::memory_order_relaxed)) {
                range(ahead, produce);
                made[ahead].store(true, std::memory_order_release);
                spins = 0;
            } else if (spins >= 64) {
                std::this_thread::yield();
            }
        }
        range(k, consume);
    }
    if (producer.joinable()) producer.join();
}

// The same, a block the caller reaches first produced and then consumed.
template <class Produce, class Consume>
void pipelined(size_t n, unsigned threads, size_t block, size_t at_least, Produce &&produce, Consume &&consume) {
    auto both = [&](size_t b, size_t e) {
        produce(b, e);
        consume(b, e);
    };
    pipelined(n, threads, block, at_least, produce, consume, both);
}

// Cores this process may run on (its CPU affinity), at least 1.
inline unsigned available_cores() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(CPU_COUNT(&set), 1);
    return std::max(std::thread::hardware_concurrency(), 1u);
}

}  // namespace orvane::core
