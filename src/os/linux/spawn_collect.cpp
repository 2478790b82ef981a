// Spawning on Linux: as on macOS, through PATH first. Linux has no system
// tool for per-connection traffic, so the module ships one; a program that
// PATH does not hold is then looked for among the module's own helper
// programs, in "lumenstat.libexec" beside the file this code was loaded from
// (the installed module, or a test program in a build tree), wherever the
// module was installed and whether or not its environment is activated.
#include <dlfcn.h>

#include <cerrno>
#include <cstring>
#include <string>

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

}  // namespace

int LinuxSystem::spawn_collect(const char* file, const char* const* argv, ChildOutput& output) {
    if (spawn_and_collect(file, argv, true, output) == 0) return 0;
    if (errno != ENOENT || *file == 0 || std::strchr(file, '/') != nullptr) return -1;
    std::string shipped = shipped_program(file);
    if (shipped.empty()) {
        errno = ENOENT;
        return -1;
    }
    return spawn_and_collect(shipped.c_str(), argv, false, output);
}

}  // namespace lumenstat::os
