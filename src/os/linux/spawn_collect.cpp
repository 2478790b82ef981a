// Spawning on Linux: as on macOS, through PATH first. Linux has no system
// tool for per-connection traffic, so the module ships one; a program that
// PATH does not hold is then looked for among the module's own helper
// programs, in "lumenstat.libexec" beside the file this code was loaded from
// (the installed module, or a test program in a build tree), wherever the
// module was installed and whether or not its environment is activated.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "os/child_process.h"
#include "os/linux/linux_system.h"

namespace lumenstat::os {

namespace {

const char kAnchor = 0;

std::string shipped_program(const char* file) {
    Dl_info info{};
    if (::dladdr(&kAnchor, &info) == 0 || info.dli_fname == nullptr) return {};
    std::string path = info.dli_fname;
    std::size_t slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? "." : path.substr(0, slash);
    return directory + "/lumenstat.libexec/" + file;
}

// Whether the search of PATH that posix_spawnp makes may find `file`: false
// only when no directory of PATH holds an entry of that name, so that the
// search could end in nothing but ENOENT, after making a child for nothing.
bool may_be_on_path(const char* file) {
    const char* variable = std::getenv("PATH");
    std::string_view path = variable != nullptr ? variable : "/bin:/usr/bin";
    for (;;) {
        const std::size_t colon = path.find(':');
        const std::string_view directory = path.substr(0, colon);
        // An empty element is the current directory.
        std::string candidate = directory.empty() ? "." : std::string(directory);
        candidate.append("/").append(file);
        if (::access(candidate.c_str(), F_OK) == 0 || (errno != ENOENT && errno != ENOTDIR)) {
            return true;
        }
        if (colon == std::string_view::npos) return false;
        path.remove_prefix(colon + 1);
    }
}

}  // namespace

int LinuxSystem::spawn_collect(const char* file, const char* const* argv, ChildOutput& output) {
    const bool searched = *file != 0 && std::strchr(file, '/') == nullptr;
    if (!searched || may_be_on_path(file)) {
        if (spawn_and_collect(file, argv, true, output) == 0) return 0;
        if (errno != ENOENT || !searched) return -1;
    }
    std::string shipped = shipped_program(file);
    if (shipped.empty()) {
        errno = ENOENT;
        return -1;
    }
    return spawn_and_collect(shipped.c_str(), argv, false, output);
}

}  // namespace lumenstat::os
