// The BackupAndRestore of one training call: the backup it finds and resumes
// from, the backups it writes after the epochs that are due, and its deletion
// when the call completes. The backup is one file in backup_dir, replaced in
// one step (training/run_backup.h) by a writer thread
// (training/backup_writer.h); nothing else is written.
//
// A backup resumes only the call that wrote it: the call's identity (which
// loop, the model's shape, the optimizer, pop_size, the losses, the data's
// shapes, the kestrin callbacks) is stored with it and compared, name by name.
#pragma once

#include "python/pyref.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/callbacks.h"
#include "training/backup_writer.h"
#include "training/run_backup.h"

namespace kestrin::py {

class BackupRun {
public:
    using Identity = std::vector<std::pair<std::string, std::string>>;

    // callback may be null: nothing is then read, written or deleted.
    BackupRun(BackupAndRestoreObject* callback, Identity identity);

    bool active() const { return static_cast<bool>(callback_); }
    int every() const;

    // The backup of an interrupted run of this call, or nullopt when there is
    // none. ValueError naming the defect for a damaged backup or one of another
    // call, OSError for one that cannot be read; the file stays either way.
    std::optional<RunState> load();
    // Backs up state under this call's identity with the callbacks' states: a
    // copy goes to a writer thread, the call goes on. Needs the interpreter
    // lock, and releases it while the state is copied.
    void save(const RunStateView& state, const CallbackList& callbacks);
    // Waits for the backups handed over to be written (OSError for one that
    // could not be): before the model receives the trained network.
    void flush();
    // Deletes the backup, and backup_dir if nothing else is in it, unless
    // delete_checkpoint is False: once the call has completed.
    void remove();

private:
    PyRef callback_;
    std::string directory_;
    std::string file_;
    Identity identity_;
    std::unique_ptr<BackupWriter> writer_;  // from the first save on
};

}  // namespace kestrin::py
