// Runs fn(worker, index) for index 0..count-1 on `threads` workers (the
// calling thread is one of them; with one thread nothing else runs).
#pragma once

#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

template <typename Function> void ParallelFor(unsigned threads, std::size_t count, Function&& fn)
{
    if (threads <= 1 || count <= 1) {
        for (std::size_t i = 0; i < count; ++i) fn(0u, i);
        return;
    }
    std::atomic<std::size_t> next{0};
    auto work = [&](unsigned worker) {
        for (std::size_t i; (i = next.fetch_add(1)) < count;) fn(worker, i);
    };
    std::vector<std::thread> helpers;
    const unsigned extra = unsigned(std::min<std::size_t>(threads, count)) - 1;
    helpers.reserve(extra);
    for (unsigned w = 1; w <= extra; ++w) helpers.emplace_back(work, w);
    work(0);
    for (auto& helper : helpers) helper.join();
}
