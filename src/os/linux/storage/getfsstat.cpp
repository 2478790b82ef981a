// getfsstat: the kernel's mount table from /proc/self/mountinfo, each entry's
// figures from statfs of its mount point when that reaches it. Darwin's f_bsize is the fundamental
// block size, which Linux calls f_frsize.
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "os/linux/linux_system.h"
#include "os/linux/storage/mount_figures.h"
#include "os/linux/storage/mountinfo.h"
#include "os/linux/proc_files.h"
#include "os/linux/query_scope.h"
#include "os/linux/storage/statfs_nowait.h"
#include "text/utf8.h"

namespace lumenstat::os {

namespace {

// Darwin's fixed fields hold 1023 bytes of a mount point or source and 15 of
// a type: a longer name is cut, before the last sequence that would not fit
// whole, so that the cut creates no replacement character.
void copy_name(char* field, std::size_t size, const std::string& name) {
    const std::size_t length = utf8_prefix_length(name, size - 1);
    std::memcpy(field, name.data(), length);
    field[length] = '\0';
}

void fill_figures(darwin::statfs& out, const struct ::statfs& in) {
    out.f_bsize = static_cast<std::uint32_t>(in.f_frsize != 0 ? in.f_frsize : in.f_bsize);
    out.f_iosize = static_cast<std::int32_t>(in.f_bsize);
    out.f_blocks = in.f_blocks;
    out.f_bfree = in.f_bfree;
    out.f_bavail = in.f_bavail;
    out.f_files = in.f_files;
    out.f_ffree = in.f_ffree;
    std::memcpy(&out.f_fsid, &in.f_fsid, std::min(sizeof out.f_fsid, sizeof in.f_fsid));
    out.f_type = static_cast<std::uint32_t>(in.f_type);
    out.f_flags = (in.f_flags & ST_RDONLY) != 0 ? 1u : 0u;  // MNT_RDONLY
}

// Kernel file systems that answer statfs from fixed values: no blocks, no
// files, the page as block size. Their figures are known without the call.
bool has_no_blocks(std::string_view fs_type) {
    static constexpr std::string_view kNoBlocks[] = {
        "proc",    "sysfs",       "cgroup",     "cgroup2",   "devpts",    "mqueue",
        "debugfs", "tracefs",     "securityfs", "pstore",    "bpf",       "configfs",
        "fusectl", "binfmt_misc", "nsfs",       "selinuxfs", "rpc_pipefs"};
    for (std::string_view type : kNoBlocks) {
        if (fs_type == type) return true;
    }
    return false;
}

PatientStatfs& patient_statfs() {
    static PatientStatfs asker(
        [](const char* path, MountFigures& out) { return statfs_of_mount_point(path, out); });
    return asker;
}

// A mount whose path leads to another mount (one mounted over it) is one
// this process cannot reach: it keeps zero figures, as a mount whose
// statistics the kernel does not hold, and so does one whose path fails.
void fill_if_reached(darwin::statfs& entry, const mountinfo::Mount& mount,
                     const MountFigures& answer) {
    if (answer.mount_id && *answer.mount_id != mount.id) return;
    fill_figures(entry, answer.figures);
}

}  // namespace

int LinuxSystem::getfsstat(darwin::statfs* buffer, int bufsize, int mode) {
    // Counting and filling within one query read the table once.
    linux_scope::Scope* scope = linux_scope::current();
    std::vector<mountinfo::Mount> unscoped;
    if (scope == nullptr || !scope->mounts) {
        std::string text;
        if (!procfs::read_file("/proc/self/mountinfo", text)) return -1;
        (scope != nullptr ? scope->mounts.emplace() : unscoped) = mountinfo::parse(text);
    }
    const std::vector<mountinfo::Mount>& mounts = scope != nullptr ? *scope->mounts : unscoped;
    if (buffer == nullptr) return static_cast<int>(mounts.size());
    if (bufsize < 0) {
        errno = EINVAL;
        return -1;
    }

    const std::size_t count =
        std::min(mounts.size(), static_cast<std::size_t>(bufsize) / sizeof(darwin::statfs));
    // Mounts that may wait are asked once per path: mounts at one path all
    // have the answer of the one on top.
    std::vector<std::string> waiting_paths;
    std::unordered_map<std::string_view, std::size_t> path_index;
    std::vector<std::pair<std::size_t, std::size_t>> waiting_entries;  // entry, path
    for (std::size_t i = 0; i < count; ++i) {
        darwin::statfs& entry = buffer[i];
        entry = darwin::statfs{};
        copy_name(entry.f_mntfromname, sizeof entry.f_mntfromname, mounts[i].source);
        copy_name(entry.f_mntonname, sizeof entry.f_mntonname, mounts[i].mount_point);
        copy_name(entry.f_fstypename, sizeof entry.f_fstypename, mounts[i].fs_type);
        if (mode == darwin::kMntNowait && statfs_may_wait(mounts[i].fs_type)) {
            const auto [at, added] =
                path_index.try_emplace(mounts[i].mount_point, waiting_paths.size());
            if (added) waiting_paths.push_back(mounts[i].mount_point);
            waiting_entries.emplace_back(i, at->second);
            continue;
        }
        if (has_no_blocks(mounts[i].fs_type)) {
            entry.f_bsize = static_cast<std::uint32_t>(::sysconf(_SC_PAGESIZE));
            continue;
        }
        MountFigures answer;
        if (statfs_of_mount_point(mounts[i].mount_point.c_str(), answer) == 0) {
            fill_if_reached(entry, mounts[i], answer);
        }
    }
    if (!waiting_paths.empty()) {
        const auto answers = patient_statfs().ask(waiting_paths, kStatfsPatience);
        for (const auto& [entry, path] : waiting_entries) {
            if (answers[path]) fill_if_reached(buffer[entry], mounts[entry], *answers[path]);
        }
    }
    return static_cast<int>(count);
}

}  // namespace lumenstat::os
