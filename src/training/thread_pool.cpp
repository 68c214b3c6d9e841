#include "training/thread_pool.h"

#include <algorithm>
#include <system_error>

namespace kestrin {

ThreadPool::ThreadPool(int threads) : capacity_(std::max(threads, 1)) {}

ThreadPool::~ThreadPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& helper : helpers_) helper.join();
}

void ThreadPool::startHelpers(int wanted) {
    while (static_cast<int>(helpers_.size()) < wanted) {
        try {
            // Started between runs: the next run is the first one it may take part in.
            helpers_.emplace_back(&ThreadPool::helperLoop, this, static_cast<int>(helpers_.size()) + 1, generation_);
        } catch (const std::system_error&) {
            // Out of threads: the run goes ahead with those we have, to the same result.
            capacity_ = static_cast<int>(helpers_.size()) + 1;
            return;
        }
    }
}

void ThreadPool::run(int participants, const std::function<void(int)>& task) {
    participants = std::clamp(participants, 1, capacity_);
    if (participants > 1) {
        startHelpers(participants - 1);
        participants = std::min(participants, capacity_);
    }
    errors_.assign(static_cast<size_t>(participants), nullptr);
    if (participants > 1) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            task_ = &task;
            active_ = participants - 1;
            pending_ = active_;
            ++generation_;
        }
        wake_.notify_all();
    }
    try {
        task(0);
    } catch (...) {
        errors_[0] = std::current_exception();
    }
    if (participants > 1) {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [&] { return pending_ == 0; });
        task_ = nullptr;
    }
    for (const std::exception_ptr& error : errors_) {
        if (error) std::rethrow_exception(error);
    }
}

void ThreadPool::helperLoop(int index, uint64_t seen) {
    for (;;) {
        const std::function<void(int)>* task = nullptr;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
            if (stopping_) return;
            seen = generation_;
            if (index > active_) continue;  // not in this run
            task = task_;
        }
        try {
            (*task)(index);
        } catch (...) {
            errors_[static_cast<size_t>(index)] = std::current_exception();
        }
        bool last = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            last = --pending_ == 0;
        }
        if (last) done_.notify_one();
    }
}

}  // namespace kestrin
