#include "python/backup_run.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "network/file_error.h"
#include "python/boundary.h"
#include "python/gil.h"
#include "python/paths.h"

namespace kestrin::py {
namespace {

constexpr const char* kFileName = "run.backup";

BackupAndRestoreObject* asBackup(PyObject* object) { return reinterpret_cast<BackupAndRestoreObject*>(object); }

}  // namespace

BackupRun::BackupRun(BackupAndRestoreObject* callback, Identity identity) : identity_(std::move(identity)) {
    if (callback == nullptr) return;
    callback_ = PyRef::borrow(reinterpret_cast<PyObject*>(callback));
    directory_ = pathFrom(callback->backupDir);
    file_ = (std::filesystem::path(directory_) / kFileName).string();
}

int BackupRun::every() const { return callback_ ? asBackup(callback_.get())->saveFreq : 0; }

std::optional<RunState> BackupRun::load() {
    if (!callback_) return std::nullopt;
    struct stat info {};
    if (::stat(file_.c_str(), &info) != 0) {
        if (errno == ENOENT) return std::nullopt;
        throw std::system_error(errno, std::generic_category(), "cannot read the backup '" + file_ + "'");
    }
    std::optional<RunState> state;
    try {
        ReleasedGil released;
        state = loadRunState(file_);
    } catch (const FileFormatError& error) {
        throw std::invalid_argument(std::string(error.what()) + ". It is left in place; delete it to start afresh.");
    }
    for (const auto& [name, ours] : identity_) {
        std::string theirs = "missing";
        for (const auto& [savedName, value] : state->identity) {
            if (savedName == name) theirs = value;
        }
        if (theirs != ours) {
            throw std::invalid_argument("The backup '" + file_ + "' is of another call: its " + name + " is " +
                                        theirs + ", this call's is " + ours +
                                        ". It is left in place; delete it to start afresh.");
        }
    }
    return state;
}

void BackupRun::save(const RunStateView& state, const CallbackList& callbacks) {
    std::string callerState = callbacks.savedStates();
    ReleasedGil released;
    if (!writer_) {
        std::filesystem::create_directories(directory_);
        writer_ = std::make_unique<BackupWriter>(file_);
    }
    // Made field by field: a default-made Network would draw from the run's streams.
    writer_->submit(RunState{identity_, state.epoch, state.population, state.scores, state.strategyState,
                             state.randomStreams, state.best, state.rowOrder, state.history, std::move(callerState)});
}

void BackupRun::flush() {
    if (!writer_) return;
    ReleasedGil released;
    writer_->finish();
}

void BackupRun::remove() {
    if (!callback_ || !asBackup(callback_.get())->deleteCheckpoint) return;
    if (::unlink(file_.c_str()) != 0 && errno != ENOENT) {
        throw std::system_error(errno, std::generic_category(), "cannot delete the backup '" + file_ + "'");
    }
    // A run killed between naming its temporary file and renaming it leaves
    // that file: only the atomic writer makes such names.
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(directory_, ignored)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(".kestrin-") && name.ends_with(".tmp")) std::filesystem::remove(entry.path(), ignored);
    }
    ::rmdir(directory_.c_str());  // only when empty; the user's files stay
}

}  // namespace kestrin::py
