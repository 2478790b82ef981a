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

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <memory>
#include <new>
#include <span>
#include <vector>

namespace lumenstat::os::linux_ahead {

// A thread doing one piece of work, joined when the object ends. A failure
// inside the work ends the work, never the process. In a child forked
// meanwhile the thread does not exist: there it is neither waited for nor
// joined.
//
// The work runs with a descriptor table of its own, holding copies of the
// standard streams only: it opens what it reads by path and may use no other
// descriptor of its caller's. Its opens and closes then do not contend with
// the caller's, and the kernel's cheaper paths for a table with one user
// apply to both threads.
//
// A helper is only worth having on another CPU than the caller's: there is
// none when the process may run on one CPU only, and it is started on the
// others, since a scheduler that packs work onto busy CPUs would otherwise
// queue it behind the caller until it balances its load (milliseconds,
// longer than a listing). Once running, it may run anywhere.
class HelperThread {
public:
    // Starts `work` on a thread of its own; null when no thread can be made
    // or there is no other CPU to run it on.
    template <class Work>
    static std::unique_ptr<HelperThread> start(Work work) noexcept {
        Placement placement;
        if (!placement.other_cpu_exists()) {
            return nullptr;
        }
        try {
            auto helper = std::make_unique<HelperThread>();
            auto run = std::make_unique<Run<Work>>(std::move(work), placement.allowed());
            if (!placement.start_on_others(helper->thread_, &Run<Work>::main, run.get())) {
                return nullptr;
            }
            static_cast<void>(run.release());  // the thread's own now
            helper->started_ = true;
            return helper;
        } catch (const std::bad_alloc&) {
        }
        return nullptr;
    }

    HelperThread() = default;
    HelperThread(const HelperThread&) = delete;
    HelperThread& operator=(const HelperThread&) = delete;
    ~HelperThread() {
        // A thread that only the parent has is neither waited for nor
        // joined.
        join();
    }

    // Whether this process is the one that started the thread.
    bool in_owner() const { return owner_ == ::getpid(); }

    void join() {
        if (in_owner() && started_) {
            ::pthread_join(thread_, nullptr);
            started_ = false;
        }
    }

private:
    // The work and the CPUs it may run on once started, owned by its thread.
    template <class Work>
    struct Run {
        Work work;
        cpu_set_t allowed;

        static void* main(void* self) noexcept {
            std::unique_ptr<Run> run(static_cast<Run*>(self));
            if (CPU_COUNT(&run->allowed) > 0) {
                ::sched_setaffinity(0, sizeof run->allowed, &run->allowed);
            }
            own_descriptor_table();
            try {
                run->work();
            } catch (...) {
            }
            return nullptr;
        }
    };

    // Where a table of its own cannot be had, the table stays shared, which
    // is only slower. Not under the thread sanitizer, which takes equal
    // descriptor numbers for the same descriptor across the process.
    static void own_descriptor_table() {
#if !defined(__SANITIZE_THREAD__)
        ::close_range(3, ~0u, CLOSE_RANGE_UNSHARE);
#endif
    }

    // The CPUs the process may run on, and those of them the caller is not
    // on now; none known when the process may run on more CPUs than a set
    // holds, and then the helper starts anywhere.
    class Placement {
    public:
        Placement() {
            CPU_ZERO(&allowed_);
            if (::sched_getaffinity(0, sizeof allowed_, &allowed_) != 0) {
                CPU_ZERO(&allowed_);
            }
            others_ = allowed_;
            const int current = ::sched_getcpu();
            if (current >= 0 && current < CPU_SETSIZE) {
                CPU_CLR(current, &others_);
            }
        }
        bool other_cpu_exists() const { return !known() || CPU_COUNT(&others_) > 0; }
        const cpu_set_t& allowed() const { return allowed_; }

        bool start_on_others(pthread_t& thread, void* (*main)(void*), void* arg) const {
            pthread_attr_t attributes;
            if (::pthread_attr_init(&attributes) != 0) {
                return false;
            }
            if (known()) {
                ::pthread_attr_setaffinity_np(&attributes, sizeof others_, &others_);
            }
            const bool started = ::pthread_create(&thread, &attributes, main, arg) == 0;
            ::pthread_attr_destroy(&attributes);
            return started;
        }

    private:
        bool known() const { return CPU_COUNT(&allowed_) > 0; }

        cpu_set_t allowed_;
        cpu_set_t others_;
    };

    pthread_t thread_{};
    bool started_ = false;
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
