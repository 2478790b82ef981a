#include "os/linux/query_scope.h"

#include <memory>
#include <new>

#include "os/linux/linux_system.h"

namespace lumenstat::os {

namespace linux_scope {

namespace {

struct Frame {
    Scope scope;
    unsigned depth = 0;
    std::unique_ptr<Frame> outer;
};

// The open scopes of this thread, innermost first. `depth` counts every open
// scope; a scope that could not be allocated has no frame of its own.
struct Stack {
    std::unique_ptr<Frame> innermost;
    unsigned depth = 0;
};

thread_local Stack stack;

}  // namespace

Scope* current() {
    Frame* frame = stack.innermost.get();
    return frame != nullptr && frame->depth == stack.depth ? &frame->scope : nullptr;
}

}  // namespace linux_scope

void LinuxSystem::open_query_scope(ScopeAsks asks) {
    using namespace linux_scope;
    ++stack.depth;
    try {
        auto frame = std::make_unique<Frame>();
        frame->depth = stack.depth;
        frame->scope.processes.arguments_with_table =
            asks == ScopeAsks::arguments_of_every_listed_process;
        frame->outer = std::move(stack.innermost);
        stack.innermost = std::move(frame);
    } catch (const std::bad_alloc&) {
        // Calls in this scope read afresh, as with no scope open.
    }
}

void LinuxSystem::close_query_scope() noexcept {
    using namespace linux_scope;
    if (stack.depth == 0) {
        return;
    }
    if (stack.innermost && stack.innermost->depth == stack.depth) {
        // Ends the scope's walk (joining its threads) and frees its readings.
        stack.innermost = std::move(stack.innermost->outer);
    }
    --stack.depth;
}

}  // namespace lumenstat::os
