#include "os/linux/storage/statfs_nowait.h"

#include <condition_variable>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

namespace lumenstat::os {

namespace {

struct Answer {
    bool done = false;
    int status = -1;
    MountFigures figures;
};

}  // namespace

struct PatientStatfs::State {
    StatfsOperation operation;
    mutable std::mutex mutex;
    std::condition_variable answered;
    std::set<std::string> in_flight;
};

bool statfs_may_wait(std::string_view fs_type) {
    static constexpr std::string_view kRemote[] = {
        "nfs",  "nfs4",      "cifs",   "smb3",  "smbfs",    "9p",     "afs",  "ceph",
        "coda", "glusterfs", "lustre", "ncpfs", "virtiofs", "autofs", "fuse", "fuseblk"};
    if (fs_type.starts_with("fuse.")) return true;
    for (std::string_view remote : kRemote) {
        if (fs_type == remote) return true;
    }
    return false;
}

PatientStatfs::PatientStatfs(StatfsOperation operation) : state_(std::make_shared<State>()) {
    state_->operation = std::move(operation);
}

std::size_t PatientStatfs::in_flight() const {
    std::lock_guard lock(state_->mutex);
    return state_->in_flight.size();
}

std::vector<std::optional<MountFigures>> PatientStatfs::ask(const std::vector<std::string>& paths,
                                                            std::chrono::milliseconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    std::vector<std::shared_ptr<Answer>> answers(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
        {
            std::lock_guard lock(state_->mutex);
            if (!state_->in_flight.insert(paths[i]).second) continue;
        }
        auto answer = std::make_shared<Answer>();
        try {
            // The thread shares the state and its answer, so it may outlive
            // this call and this object.
            std::thread([state = state_, answer, path = paths[i]] {
                MountFigures figures;
                const int status = state->operation(path.c_str(), figures);
                std::lock_guard lock(state->mutex);
                answer->status = status;
                answer->figures = figures;
                answer->done = true;
                state->in_flight.erase(path);
                state->answered.notify_all();
            }).detach();
            answers[i] = std::move(answer);
        } catch (const std::system_error&) {
            std::lock_guard lock(state_->mutex);
            state_->in_flight.erase(paths[i]);
        }
    }

    std::vector<std::optional<MountFigures>> results(paths.size());
    std::unique_lock lock(state_->mutex);
    state_->answered.wait_until(lock, deadline, [&] {
        for (const auto& answer : answers) {
            if (answer && !answer->done) return false;
        }
        return true;
    });
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (answers[i] && answers[i]->done && answers[i]->status == 0) {
            results[i] = answers[i]->figures;
        }
    }
    return results;
}

}  // namespace lumenstat::os
