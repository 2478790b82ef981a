// Reading ahead, for the listings that ask the same question of every
// process in ascending order of pid (the descriptor tables of the socket
// walk, the stat lines and the argument areas of the process table).
//
// The rule: a reading made ahead belongs to the query scope that started it
// and ends with it. It is made on one helper thread, from the last process
// backwards, while the caller works forwards; the helper stops where it
// meets the caller. Each reading answers the caller's call about its process
// once, as a reading made on the caller's thread would have at some moment
// of the scope; a later call about the same process reads anew. Ending the
// read-ahead (with its scope) stops and joins the helper. A reading that
// fails on the helper is left to the caller, and in a child forked meanwhile
// the helper does not exist: there every reading is the caller's.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <memory>
#include <new>
#include <span>
#include <system_error>
#include <thread>
#include <vector>

namespace lumenstat::os::linux_ahead {

// A thread doing one piece of work, joined when the object ends. A failure
// inside the work ends the work, never the process. In a child forked
// meanwhile the thread does not exist: there it is neither waited for nor
// joined.
class HelperThread {
public:
    // Starts `work` on a thread of its own; null when no thread can be made.
    template <class Work>
    static std::unique_ptr<HelperThread> start(Work work) noexcept {
        try {
            auto helper = std::make_unique<HelperThread>();
            helper->thread_ = std::make_unique<std::thread>([work]() mutable noexcept {
                try {
                    work();
                } catch (...) {
                }
            });
            return helper;
        } catch (const std::bad_alloc&) {
        } catch (const std::system_error&) {
        }
        return nullptr;
    }

    HelperThread() = default;
    HelperThread(const HelperThread&) = delete;
    HelperThread& operator=(const HelperThread&) = delete;
    ~HelperThread() {
        if (!in_owner()) {
            // The std::thread of a thread that only the parent has is left
            // alone: destroying it unjoined would end the process.
            static_cast<void>(thread_.release());
            return;
        }
        join();
    }

    // Whether this process is the one that started the thread.
    bool in_owner() const { return owner_ == ::getpid(); }

    void join() {
        if (in_owner() && thread_ && thread_->joinable()) {
            thread_->join();
        }
    }

private:
    std::unique_ptr<std::thread> thread_;
    pid_t owner_ = ::getpid();
};

// The readings of `Reading` for a list of processes, made ahead as the rule
// above says. `Reader` fills one reading of one process and may throw.
template <class Reading>
class ReadAhead {
public:
    using Reader = void (*)(int pid, Reading& out);

    // Starts reading `pids` (ascending); null when nothing can be started.
    static std::unique_ptr<ReadAhead> start(std::span<const int> pids, Reader reader) noexcept {
        std::unique_ptr<ReadAhead> ahead;
        try {
            ahead.reset(new ReadAhead(pids, reader));
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
        ReadAhead* self = ahead.get();
        ahead->helper_ = HelperThread::start([self] { self->run(); });
        return ahead;
    }

    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;
    ~ReadAhead() {
        stop_.store(true, std::memory_order_relaxed);
        helper_.reset();
    }

    // Whether `pid` is among the processes the read-ahead began with.
    bool lists(int pid) const { return std::binary_search(pids_.begin(), pids_.end(), pid); }

    // The reading of `pid` made ahead, which the caller may take from; null
    // when there is none to take and the caller is to read it now. Either
    // way the helper reads no further back than `pid` from then on.
    Reading* take(int pid) {
        auto it = std::lower_bound(pids_.begin(), pids_.end(), pid);
        if (it == pids_.end() || *it != pid) {
            return nullptr;
        }
        const std::ptrdiff_t index = it - pids_.begin();
        if (index > reached_.load(std::memory_order_relaxed)) {
            reached_.store(index, std::memory_order_relaxed);
        }
        Slot& slot = slots_[static_cast<std::size_t>(index)];
        int state = kFree;
        if (slot.state.compare_exchange_strong(state, kCaller)) {
            return nullptr;
        }
        if (state == kReader) {
            if (helper_ == nullptr || !helper_->in_owner()) {
                return nullptr;
            }
            slot.state.wait(kReader, std::memory_order_acquire);
        }
        // Only a reading done and not yet taken answers; one the caller
        // claimed or took before, or one given back free by a failure, is the
        // caller's to make.
        int done = kDone;
        if (!slot.state.compare_exchange_strong(done, kTaken, std::memory_order_acquire)) {
            return nullptr;
        }
        return &slot.reading;
    }

private:
    // A slot goes from free to claimed by either thread; the helper marks its
    // own done once the reading is in place, and the caller takes a done one
    // once.
    enum State : int { kFree, kCaller, kReader, kDone, kTaken };
    struct Slot {
        std::atomic<int> state{kFree};
        Reading reading;
    };

    ReadAhead(std::span<const int> pids, Reader reader)
        : pids_(pids.begin(), pids.end()), slots_(pids.size()), reader_(reader) {}

    void run() {
        for (std::size_t i = slots_.size(); i-- > 0;) {
            if (stop_.load(std::memory_order_relaxed) ||
                static_cast<std::ptrdiff_t>(i) <= reached_.load(std::memory_order_relaxed)) {
                return;
            }
            Slot& slot = slots_[i];
            int expected = kFree;
            if (!slot.state.compare_exchange_strong(expected, kReader)) {
                return;
            }
            int done = kDone;
            try {
                reader_(pids_[i], slot.reading);
            } catch (...) {
                done = kFree;
            }
            slot.state.store(done, std::memory_order_release);
            slot.state.notify_all();
            if (done != kDone) {
                return;
            }
        }
    }

    std::vector<int> pids_;
    std::vector<Slot> slots_;
    Reader reader_;
    std::atomic<std::ptrdiff_t> reached_{-1};  // the highest slot the caller has come to
    std::atomic<bool> stop_{false};
    std::unique_ptr<HelperThread> helper_;
};

}  // namespace lumenstat::os::linux_ahead
