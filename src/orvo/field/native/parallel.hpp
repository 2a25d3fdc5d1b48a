// Running a kernel over the query points without the interpreter lock, on
// one or more threads, while Ctrl-C still interrupts it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

namespace orvo::py {

// The thread cap: ORVO_FIELD_NUM_THREADS when set to a positive integer,
// else the number of cores. Read at every call so that it can be changed
// while the process runs.
inline int thread_limit() {
    if (const char* env = std::getenv("ORVO_FIELD_NUM_THREADS")) {
        char* end = nullptr;
        const long n = std::strtol(env, &end, 10);
        if (end != env && *end == '\0' && n > 0) return static_cast<int>(std::min<long>(n, 256));
    }
    const unsigned cores = std::thread::hardware_concurrency();
    return cores ? static_cast<int>(cores) : 1;
}

// Work below this many elementary steps (point-segment pairs, edge tests)
// runs on the calling thread: starting a thread costs tens of
// microseconds, about what two million steps take on one core.
inline constexpr double kParallelWork = 2e6;

// Calls body(begin, end) for consecutive blocks covering [0, n), with the
// interpreter lock released. `work` estimates the elementary steps of the
// whole call and decides how many threads run. The calling thread checks
// for signals between its blocks; on an interrupt the remaining blocks are
// skipped and false is returned with the Python error set. Must be called
// with the lock held.
template <class Body>
bool parallel_for(Py_ssize_t n, double work, Body&& body) {
    if (n <= 0) return true;
    const double per_point = work / static_cast<double>(n);
    // Blocks of about a quarter million steps: short enough for a prompt
    // Ctrl-C, long enough that the signal check costs nothing.
    // At least 16 points per block, or the whole batch when it is shorter;
    // std::max(1.0, x) also maps a NaN estimate to one step per point.
    const auto steps = static_cast<Py_ssize_t>(2.5e5 / std::max(1.0, per_point));
    const Py_ssize_t block = std::clamp(steps, std::min<Py_ssize_t>(16, n), n);
    const Py_ssize_t blocks = (n + block - 1) / block;
    int threads = work < kParallelWork ? 1 : std::min<Py_ssize_t>(thread_limit(), blocks);
    std::atomic<Py_ssize_t> next{0};
    std::atomic<bool> cancelled{false};
    auto run_blocks = [&](bool check_signals, PyThreadState*& state) {
        for (;;) {
            if (cancelled.load(std::memory_order_relaxed)) return;
            const Py_ssize_t b = next.fetch_add(1, std::memory_order_relaxed);
            if (b >= blocks) return;
            body(b * block, std::min(n, (b + 1) * block));
            if (check_signals && blocks > 1) {
                PyEval_RestoreThread(state);
                const bool interrupted = PyErr_CheckSignals() < 0;
                state = PyEval_SaveThread();
                if (interrupted) {
                    cancelled = true;
                    return;
                }
            }
        }
    };
    PyThreadState* state = PyEval_SaveThread();
    std::vector<std::thread> workers;
    try {
        for (int t = 1; t < threads; ++t)
            workers.emplace_back([&] {
                PyThreadState* unused = nullptr;
                run_blocks(false, unused);
            });
    } catch (...) {
        // No more threads to be had: the ones started and this one finish the work.
    }
    run_blocks(true, state);
    for (std::thread& w : workers) w.join();
    PyEval_RestoreThread(state);
    return !cancelled.load();
}

}  // namespace orvo::py
