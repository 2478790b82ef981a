// Preloaded into a Python process by tests/python: operator new of a thread
// that asked for it fails, as it does in a process out of memory, while the
// interpreter (which allocates with malloc) goes on. Built by the tests.
#include <cstdlib>
#include <new>

namespace {

thread_local long allocations_left = -1;  // -1: none fail

}  // namespace

// Lets `left` more allocations of this thread succeed and fails every one
// after them; -1 fails none.
extern "C" __attribute__((visibility("default"))) void fail_allocations_on_this_thread(long left) {
    allocations_left = left;
}

void* operator new(std::size_t size) {
    if (allocations_left != 0) {
        if (allocations_left > 0) --allocations_left;
        if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
    }
    throw std::bad_alloc();
}

void* operator new[](std::size_t size) { return operator new(size); }
