#include "os/program_search.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace lumenstat::os {

namespace {

// 0 when `path` is a regular file this process may execute (by its
// effective ids, as execve judges), else the errno that says why not.
int executable_file(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return errno;
    if (!S_ISREG(status.st_mode)) return EACCES;
    if (::faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) != 0) return errno;
    return 0;
}

}  // namespace

std::expected<std::string, int> find_program(const char* file) {
    if (*file == '\0') return std::unexpected(ENOENT);
    if (std::strchr(file, '/') != nullptr) return std::string(file);
    const char* variable = std::getenv("PATH");
    std::string_view path = variable != nullptr ? variable : "/bin:/usr/bin";
    int refused = ENOENT;
    for (;;) {
        const std::size_t colon = path.find(':');
        const std::string_view directory = path.substr(0, colon);
        std::string candidate = directory.empty() ? "." : std::string(directory);
        candidate.append("/").append(file);
        const int failure = executable_file(candidate);
        if (failure == 0) return candidate;
        if (failure == EACCES) refused = EACCES;
        if (colon == std::string_view::npos) return std::unexpected(refused);
        path.remove_prefix(colon + 1);
    }
}

}  // namespace lumenstat::os
