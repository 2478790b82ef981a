// An owned directory stream, closed on every way out; closing leaves errno as
// the failed call before it set it.
#pragma once

#include <dirent.h>

#include <cerrno>
#include <memory>

namespace lumenstat::os {

struct DirCloser {
    void operator()(DIR* dir) const {
        const int saved = errno;
        ::closedir(dir);
        errno = saved;
    }
};

using UniqueDir = std::unique_ptr<DIR, DirCloser>;

}  // namespace lumenstat::os
