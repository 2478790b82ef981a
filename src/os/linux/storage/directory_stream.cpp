// opendir, readdir_r, dirfd, fstatat and closedir with Darwin's records.
// readdir_r is answered with readdir, which glibc recommends over it: a
// stream is read by one caller at a time, and the entry is copied out before
// the next read.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "os/linux/linux_system.h"

namespace lumenstat::os {

namespace {

::DIR* native_dir(darwin::DIR* dir) { return reinterpret_cast<::DIR*>(dir); }

darwin::timespec64 time_of(const struct timespec& t) { return {t.tv_sec, t.tv_nsec}; }

}  // namespace

darwin::DIR* LinuxSystem::opendir(const char* path) {
    return reinterpret_cast<darwin::DIR*>(::opendir(path));
}

int LinuxSystem::readdir_r(darwin::DIR* dir, darwin::dirent* entry, darwin::dirent** result) {
    errno = 0;
    const struct dirent64* next = ::readdir64(native_dir(dir));
    if (next == nullptr) {
        *result = nullptr;
        return errno;
    }
    const std::size_t length = std::min(std::strlen(next->d_name), sizeof entry->d_name - 1);
    entry->d_ino = next->d_ino;
    entry->d_seekoff = static_cast<std::uint64_t>(next->d_off);
    entry->d_reclen = static_cast<std::uint16_t>(sizeof *entry);
    entry->d_namlen = static_cast<std::uint16_t>(length);
    entry->d_type = next->d_type;  // DT_* values are the same on both systems
    std::memcpy(entry->d_name, next->d_name, length);
    entry->d_name[length] = '\0';
    *result = entry;
    return 0;
}

int LinuxSystem::dirfd(darwin::DIR* dir) { return ::dirfd(native_dir(dir)); }

int LinuxSystem::fstatat(int fd, const char* path, darwin::stat* buffer, int flag) {
    if ((flag & ~darwin::kAtSymlinkNofollow) != 0) {
        errno = EINVAL;
        return -1;
    }
    struct ::stat status {};
    const int native_flag = (flag & darwin::kAtSymlinkNofollow) != 0 ? AT_SYMLINK_NOFOLLOW : 0;
    if (::fstatat(fd, path, &status, native_flag) != 0) return -1;
    *buffer = darwin::stat{};
    buffer->st_dev = static_cast<std::int32_t>(status.st_dev);
    // The file-type and permission bits have the same values on both systems.
    buffer->st_mode = static_cast<std::uint16_t>(status.st_mode);
    buffer->st_nlink = static_cast<std::uint16_t>(std::min<nlink_t>(status.st_nlink, 0xffff));
    buffer->st_ino = status.st_ino;
    buffer->st_uid = status.st_uid;
    buffer->st_gid = status.st_gid;
    buffer->st_rdev = static_cast<std::int32_t>(status.st_rdev);
    buffer->st_atimespec = time_of(status.st_atim);
    buffer->st_mtimespec = time_of(status.st_mtim);
    buffer->st_ctimespec = time_of(status.st_ctim);
    buffer->st_size = status.st_size;
    buffer->st_blocks = status.st_blocks;
    buffer->st_blksize = static_cast<std::int32_t>(status.st_blksize);
    return 0;
}

int LinuxSystem::closedir(darwin::DIR* dir) { return ::closedir(native_dir(dir)); }

}  // namespace lumenstat::os
