// Spawning on Linux: as on macOS, a program found through PATH wins. Linux
// has no system tool for per-connection traffic, so the module ships one: when
// PATH holds no program of the name, it is looked for among the module's own
// helper programs, in "lumenstat.libexec" beside the file this code was loaded
// from (the installed module, or a test program in a build tree), wherever
// the module was installed and whether or not its environment is activated.
// A program found on PATH that cannot start is a failure of its own, not a
// reason to run another.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "os/child_process.h"
#include "os/linux/linux_system.h"
#include "os/program_search.h"

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
    std::expected<std::string, int> program = find_program(file);
    if (!program && *file != '\0') {
        // Only a name without a slash gets here: find_program takes any path as found.
        std::string shipped = shipped_program(file);
        if (!shipped.empty() && ::access(shipped.c_str(), F_OK) == 0) program = std::move(shipped);
    }
    if (!program) {
        errno = program.error();
        return -1;
    }
    return spawn_and_collect(program->c_str(), argv, output);
}

}  // namespace lumenstat::os
