// Helpers of the Linux personality's tests: /proc read the plain way to
// compare with, CPU burnt on purpose, children in known states, the table.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "os/darwin.h"
#include "os/system.h"

namespace lumenstat::testing {

inline std::string slurp(const std::string& path) {
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}

// The number after `key` at the start of a line of a file: ("MemFree:" in
// /proc/meminfo, "btime " in /proc/stat).
inline std::uint64_t value_after(const std::string& path, const std::string& key) {
    const std::string text = slurp(path);
    const std::size_t at = ("\n" + text).find("\n" + key);
    return at == std::string::npos ? 0 : std::stoull(text.substr(at + key.size()));
}

// The whitespace-separated fields of a file; of /proc/PID/stat after the
// command name, numbered as in proc(5) (fields[3] is the state letter).
inline std::vector<std::string> fields(const std::string& path, std::size_t skip_to = 0) {
    std::string text = slurp(path);
    std::istringstream rest(text.substr(skip_to == 0 ? 0 : text.rfind(')') + 1));
    std::vector<std::string> out(skip_to);
    for (std::string field; rest >> field;) out.push_back(field);
    return out;
}
inline std::vector<std::string> stat_fields(int pid) {
    return fields("/proc/" + std::to_string(pid) + "/stat", 3);
}
// How many descriptors this process has open.
inline long open_descriptors() {
    return std::ranges::distance(std::filesystem::directory_iterator("/proc/self/fd"));
}

template <typename Condition>
bool wait_until(Condition condition) {
    for (int i = 0; i < 500 && !condition(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

inline std::string nul_joined(const std::vector<std::string>& argv) {
    std::string out;
    for (const std::string& arg : argv) out += arg + '\0';
    return out;
}

// A child process, killed and reaped with the object.
struct Child {
    explicit Child(pid_t pid) : pid(pid) {}
    Child(const Child&) = delete;
    ~Child() {
        if (pid > 0 && ::kill(pid, SIGKILL) == 0) ::waitpid(pid, nullptr, 0);
    }
    const pid_t pid;
};

// Runs `argv[0]` with exactly `argv`, and waits until the exec has happened.
// A shell running "kill -STOP $$" then stops itself.
inline Child spawn(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    const std::string path = "/proc/" + std::to_string(pid) + "/cmdline";
    wait_until([&] { return slurp(path) == nul_joined(argv); });
    return Child(pid);
}

// The process table, fetched after a size probe as callers do.
inline std::vector<darwin::kinfo_proc> process_table(os::System& system) {
    const int name[] = {darwin::CTL_KERN, darwin::KERN_PROC, darwin::KERN_PROC_ALL};
    std::size_t size = 0;
    EXPECT_EQ(system.sysctl(name, 3, nullptr, &size, nullptr, 0), 0);
    const std::size_t probed = size;
    std::vector<darwin::kinfo_proc> table(size / sizeof(darwin::kinfo_proc));
    EXPECT_EQ(system.sysctl(name, 3, table.data(), &size, nullptr, 0), 0);
    EXPECT_TRUE(size <= probed && size % sizeof(darwin::kinfo_proc) == 0) << size << " " << probed;
    table.resize(size / sizeof(darwin::kinfo_proc));
    return table;
}

}  // namespace lumenstat::testing
