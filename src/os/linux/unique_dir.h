// An owned directory stream, closed on every way out; closing leaves errno as
// the failed call before it set it. And the reading of a stream to its end,
// where a failed read is told from the end.
#pragma once

#include <dirent.h>

#include <cerrno>
#include <memory>
#include <string_view>

namespace lumenstat::os {

struct DirCloser {
    void operator()(DIR* dir) const {
        const int saved = errno;
        ::closedir(dir);
        errno = saved;
    }
};

using UniqueDir = std::unique_ptr<DIR, DirCloser>;

// Calls `take` with the name of every entry of `dir`, "." and ".." included,
// in directory order. False with errno set when the directory cannot be read
// to its end.
template <typename Take>
bool read_entry_names(DIR* dir, Take take) {
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) return errno == 0;
        take(std::string_view(entry->d_name));
    }
}

}  // namespace lumenstat::os
