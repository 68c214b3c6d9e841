// A small pool of scoring threads for one call: the calling thread and up to
// size - 1 helpers run the same task, each with its own index.
//
// Helpers start on the first run that needs them and then wait for the next
// run, so a training loop creates its threads once, not per batch. A pool
// belongs to one call and ends with it: nothing outlives the call, so a
// forked child never inherits a pool it would wait on, and two calls on two
// Python threads never share one. The helpers draw no random numbers and
// touch nothing but what the task gives them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrin {

class ThreadPool {
public:
    // At most `threads` participants, the calling thread included (at least 1).
    explicit ThreadPool(int threads);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // The most participants a run may have.
    int capacity() const { return capacity_; }

    // Runs task(k) for every k in [0, participants), k = 0 on the calling
    // thread, and returns when every one has finished. participants is capped
    // by capacity() and by the helpers the system lets us start (the work must
    // not depend on how many run). The first exception thrown, by lowest k, is
    // rethrown here once every participant is done.
    void run(int participants, const std::function<void(int)>& task);

private:
    void startHelpers(int wanted);
    void helperLoop(int index, uint64_t seen);

    int capacity_;
    std::vector<std::thread> helpers_;
    std::mutex mutex_;
    std::condition_variable wake_;  // helpers: a new run, or the end
    std::condition_variable done_;  // the caller: the last helper finished
    const std::function<void(int)>* task_ = nullptr;
    uint64_t generation_ = 0;  // one per run
    int active_ = 0;           // helpers taking part in the current run
    int pending_ = 0;          // of those, how many have not finished
    bool stopping_ = false;
    std::vector<std::exception_ptr> errors_;  // one per participant
};

}  // namespace kestrin
