// Writes a run's backups on a thread of its own, so that an epoch waits for
// neither the encoding nor the disk: the loop hands over a copy of its state
// and goes on. Each backup is whole and the file is replaced in one step
// (run_backup.h), so a kill at any moment leaves the last backup written,
// which resumes the run exactly; a backup handed over while another is being
// written replaces one still waiting (only the newest matters).
//
// The thread touches nothing but the states handed to it and the file. An
// error of a write is held and thrown by the next submit or by finish.
#pragma once

#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "training/run_backup.h"

namespace kestrin {

class BackupWriter {
public:
    explicit BackupWriter(std::string path);
    // Waits for the backup being written; one still waiting is dropped.
    ~BackupWriter();
    BackupWriter(const BackupWriter&) = delete;
    BackupWriter& operator=(const BackupWriter&) = delete;

    void submit(RunState state);
    // Returns once every backup handed over is written.
    void finish();

private:
    void run();
    void throwHeldError();  // with the lock held

    const std::string path_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::optional<RunState> waiting_;
    bool writing_ = false;
    bool stopping_ = false;
    std::exception_ptr error_;
    std::thread thread_;
};

}  // namespace kestrin
