// Ways to make the personality's own system calls fail on purpose, for the
// cases no honest state of the machine produces on demand.
#pragma once

#include <sys/resource.h>

#include <optional>
#include <string>
#include <vector>

namespace lumenstat::testing {

// open and openat alike.
enum class Call { readdir, open };

// While it lives, calls of `call` made in this program fail with `error`:
// those of a path that is `path` or ends in "/" + `path` (any, when empty),
// after the first `pass` of them went through, `times` of them (all, when -1).
// The personality is linked into this program, so the definitions beside
// this header stand in for the C library's in its calls.
class FailingCalls {
public:
    FailingCalls(Call call, int error, std::string path = {}, int pass = 0, int times = -1);
    FailingCalls(const FailingCalls&) = delete;
    FailingCalls& operator=(const FailingCalls&) = delete;
    ~FailingCalls();
};

// While it lives, this process has only `left` descriptors free: the soft
// limit is lowered to just above the highest one open, and every free one
// below it is taken. Errno outlives the giving back.
class DescriptorsTaken {
public:
    explicit DescriptorsTaken(int left);
    DescriptorsTaken(const DescriptorsTaken&) = delete;
    DescriptorsTaken& operator=(const DescriptorsTaken&) = delete;
    ~DescriptorsTaken();

private:
    rlimit limit_{};
    std::vector<int> taken_;
};

// A row of a test's table of faults: calls that fail, as FailingCalls takes
// them, or, when `descriptors_left` is 0 or more, descriptors taken.
struct Fault {
    Call call = Call::open;
    int error = 0;
    std::string path;
    int pass = 0;
    int times = -1;
    int descriptors_left = -1;
};

inline Fault descriptors_left(int left) {
    Fault fault;
    fault.descriptors_left = left;
    return fault;
}

// The fault in force while it lives.
class FaultInForce {
public:
    explicit FaultInForce(const Fault& fault);

private:
    std::optional<FailingCalls> calls_;
    std::optional<DescriptorsTaken> taken_;
};

}  // namespace lumenstat::testing
