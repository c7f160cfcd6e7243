// The simulator's threads.
#pragma once

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "sim.h"

namespace orvane_sim::detail {

// Runs fn(0 .. n-1) on the model's threads. Every item writes its own part of
// the output, so the result does not depend on the thread count or order.
template <class F>
void parallel_for(const sensor_model& m, int n, F&& fn) {
    unsigned threads = m.render_threads ? m.render_threads : std::thread::hardware_concurrency();
    threads = std::clamp<unsigned>(threads, 1, 64);
    if (threads == 1 || n <= 1) {
        for (int i = 0; i < n; ++i) fn(i);
        return;
    }
    std::atomic<int> next{0};
    auto work = [&] {
        for (int i = next++; i < n; i = next++) fn(i);
    };
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads && static_cast<int>(t) < n; ++t) pool.emplace_back(work);
    work();
    for (std::thread& t : pool) t.join();
}

}  // namespace orvane_sim::detail
