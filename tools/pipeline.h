// Frames through workers, in order: the calling thread fills slot after slot
// and submits each; workers process them; the caller takes them back in
// submission order before a slot is filled again. Memory is the slots alone,
// a few per worker, whatever the length of the stream.
//
// With one thread the work runs on the caller's thread at submission and no
// other thread starts. Keep the outcome of the work in the slot; an exception
// from it (out of memory) reaches the caller when the slot is finished.
// Finish may throw too; the workers are stopped when the pipeline goes.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <utility>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// Slots per worker the commands use: one being worked on and one waiting
// keep a worker busy while the caller reads and writes. A third measured
// slower with two threads (each new slot's pages are cleared by the
// system on first use, and more frames leave the cache).
constexpr std::size_t SlotsPerThread = 2;

template <typename Slot> class OrderedPipeline {
public:
    using Work = std::function<void(unsigned worker, Slot& slot)>;
    using Finish = std::function<void(Slot& slot)>;

    // `slotsPerThread` slots per worker, at least two in all; one slot when
    // the caller does the work, since each slot is finished before the next
    // is filled. More would only spread the frames over more memory than the
    // cache holds.
    OrderedPipeline(unsigned threads, std::size_t slotsPerThread, Work work, Finish finish)
        : work_(std::move(work)), finish_(std::move(finish))
    {
        const std::size_t count = threads > 1 ? std::max<std::size_t>(2, std::size_t(threads) * slotsPerThread) : 1;
        slots_ = std::make_unique<Slot[]>(count);
        slotCount_ = count;
        done_.assign(count, false);
        errors_.resize(count);
        if (threads > 1)
            for (unsigned w = 0; w < threads; ++w) workers_.emplace_back([this, w] { RunWorker(w); });
    }

    ~OrderedPipeline()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        workAvailable_.notify_all();
        for (auto& worker : workers_) worker.join();
    }

    OrderedPipeline(const OrderedPipeline&) = delete;
    OrderedPipeline& operator=(const OrderedPipeline&) = delete;

    // The next slot to fill; finishes the oldest one first when all are in use.
    Slot& Acquire()
    {
        FinishReady();
        if (submitted_ - finished_ == slotCount_) FinishOne();
        return slots_[submitted_ % slotCount_];
    }

    // Hands the slot that Acquire returned to the workers.
    void Submit()
    {
        const std::size_t index = submitted_ % slotCount_;
        if (workers_.empty()) {
            work_(0, slots_[index]);
            done_[index] = true;
            ++submitted_;
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_[index] = false;
            ++submitted_;
        }
        workAvailable_.notify_one();
    }

    // Finishes every submitted slot, in order.
    void Drain()
    {
        while (finished_ < submitted_) FinishOne();
    }

private:
    void FinishOne()
    {
        const std::size_t index = finished_ % slotCount_;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            slotDone_.wait(lock, [&] { return bool(done_[index]); });
        }
        ++finished_;
        if (errors_[index]) std::rethrow_exception(std::exchange(errors_[index], nullptr));
        finish_(slots_[index]);
    }

    // Finishes the slots at the head that are already done, without waiting.
    void FinishReady()
    {
        while (finished_ < submitted_) {
            const std::size_t index = finished_ % slotCount_;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!done_[index]) return;
            }
            ++finished_;
            if (errors_[index]) std::rethrow_exception(std::exchange(errors_[index], nullptr));
            finish_(slots_[index]);
        }
    }

    void RunWorker(unsigned worker)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            workAvailable_.wait(lock, [&] { return stopping_ || claimed_ < submitted_; });
            if (stopping_) return; // what is not claimed yet is abandoned
            const std::size_t index = claimed_++ % slotCount_;
            lock.unlock();
            std::exception_ptr error;
            try {
                work_(worker, slots_[index]);
            } catch (...) {
                error = std::current_exception();
            }
            lock.lock();
            errors_[index] = error;
            done_[index] = true;
            slotDone_.notify_all();
        }
    }

    Work work_;
    Finish finish_;
    std::unique_ptr<Slot[]> slots_; // slots never move
    std::size_t slotCount_ = 0;
    std::vector<char> done_; // guarded by mutex_ when workers run
    std::vector<std::exception_ptr> errors_; // the same
    std::size_t submitted_ = 0; // written by the caller under mutex_
    std::size_t finished_ = 0;  // the caller's alone
    std::size_t claimed_ = 0;   // guarded by mutex_
    bool stopping_ = false;
    std::mutex mutex_;
    std::condition_variable workAvailable_;
    std::condition_variable slotDone_;
    std::vector<std::thread> workers_;
};
