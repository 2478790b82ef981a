// Helpers of the Linux personality's process tests: reading /proc the plain
// way to compare with, burning CPU, and children in known states.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace lumenstat::testing {

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// The fields of /proc/PID/stat after the command name, numbered as in proc(5)
// (fields[3] is the state letter).
inline std::vector<std::string> stat_fields(int pid) {
    std::string text = slurp("/proc/" + std::to_string(pid) + "/stat");
    std::vector<std::string> fields(3);
    std::size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return {};
    }
    std::istringstream rest(text.substr(close + 1));
    for (std::string field; rest >> field;) {
        fields.push_back(field);
    }
    return fields;
}

inline std::uint64_t meminfo_kib(const std::string& key) {
    std::istringstream in(slurp("/proc/meminfo"));
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key + ":", 0) == 0) {
            return std::stoull(line.substr(key.size() + 1));
        }
    }
    return 0;
}

inline std::uint64_t boot_time() {
    std::istringstream in(slurp("/proc/stat"));
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("btime ", 0) == 0) {
            return std::stoull(line.substr(6));
        }
    }
    return 0;
}

inline void burn_cpu(std::chrono::milliseconds amount) {
    timespec start{};
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &start);
    volatile std::uint64_t sink = 0;
    do {
        for (int i = 0; i < 100000; ++i) {
            sink = sink + static_cast<std::uint64_t>(i);
        }
        ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    } while ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000 <
             amount.count());
}

inline bool wait_until(const std::function<bool()>& condition) {
    for (int i = 0; i < 500; ++i) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// A child process, killed and reaped when the test ends. Its standard input
// is a pipe that stays open while the object lives.
class Child {
public:
    Child(pid_t pid, int input) : pid_(pid), input_(input) {}
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        if (input_ >= 0) {
            ::close(input_);
        }
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_;
    int input_;
};

// Runs `argv[0]` with exactly `argv`, and waits until the exec has happened.
inline std::unique_ptr<Child> spawn(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) {
        return nullptr;
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipe_fds[0], 0);
        ::close(pipe_fds[0]);
        ::close(pipe_fds[1]);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(pipe_fds[0]);
    auto child = std::make_unique<Child>(pid, pipe_fds[1]);
    std::string expected;
    for (const std::string& arg : argv) {
        expected += arg;
        expected.push_back('\0');
    }
    wait_until([&] { return slurp("/proc/" + std::to_string(pid) + "/cmdline") == expected; });
    return child;
}

}  // namespace lumenstat::testing
