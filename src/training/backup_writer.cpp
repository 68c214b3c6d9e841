#include "training/backup_writer.h"

#include <utility>

namespace kestrin {

BackupWriter::BackupWriter(std::string path) : path_(std::move(path)), thread_([this] { run(); }) {}

BackupWriter::~BackupWriter() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
        waiting_.reset();
    }
    changed_.notify_all();
    thread_.join();
}

void BackupWriter::throwHeldError() {
    if (!error_) return;
    std::exception_ptr error = std::exchange(error_, nullptr);
    std::rethrow_exception(error);
}

void BackupWriter::submit(RunState state) {
    std::optional<RunState> replaced;  // freed after the lock is released
    {
        std::lock_guard<std::mutex> guard(lock_);
        throwHeldError();
        replaced = std::exchange(waiting_, std::move(state));
    }
    changed_.notify_all();
}

void BackupWriter::finish() {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [this] { return !waiting_ && !writing_; });
    throwHeldError();
}

void BackupWriter::run() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        changed_.wait(guard, [this] { return stopping_ || waiting_; });
        if (!waiting_) return;  // stopping, nothing left
        std::optional<RunState> state = std::move(waiting_);
        waiting_.reset();
        writing_ = true;
        guard.unlock();
        std::exception_ptr error;
        try {
            saveRunState(*state, path_);
        } catch (...) {
            error = std::current_exception();
        }
        state.reset();  // freed before the lock is taken again: submit does not wait for it
        guard.lock();
        writing_ = false;
        if (error) error_ = error;
        changed_.notify_all();
    }
}

}  // namespace kestrin
