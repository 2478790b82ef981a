#include "process/tracker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/socket_fake_machine.h"
#include "support/fake_system.h"

namespace lumenstat {
namespace {

using namespace std::chrono_literals;
using testing::FakeSystem;
namespace d = darwin;

constexpr auto kPatience = 5s;

// A machine behind the fake whose tracker threads sleep through a gate: each
// sleep waits until the test lets it pass, so the test sees every poll's
// reports before the next poll starts. Sinks share the rig, so it outlives
// the tracker's thread whatever the test does.
struct Rig {
    FakeSystem sys;
    testing::FakeMachine sockets;
    std::vector<d::kinfo_proc> table;
    bool table_fails = false;
    int table_reads = 0;
    int argument_reads = 0;

    std::mutex mutex;
    std::condition_variable changed;
    int sleeps = 0;  // begun, so also polls finished
    int allowed = 0;
    std::vector<std::pair<long, long>> sleep_requests;
    int sinks = 0;  // alive

    Rig() {
        sockets.install(sys);
        sys.on_nanosleep = [this](const timespec* request, timespec*) {
            std::unique_lock lock(mutex);
            sleep_requests.emplace_back(request->tv_sec, request->tv_nsec);
            const int ticket = ++sleeps;
            changed.notify_all();
            changed.wait(lock, [&] { return allowed >= ticket; });
            return 0;
        };
        sys.on_sysctl = [this](const int* name, unsigned, void* old, std::size_t* len, const void*,
                               std::size_t) {
            if (name[1] == d::KERN_PROCARGS2 && old == nullptr) ++argument_reads;
            if (name[1] != d::KERN_PROC) return errno = EINVAL, -1;
            if (table_fails) return errno = EIO, -1;
            if (old == nullptr) ++table_reads;
            return testing::answer_sized(
                std::string_view(reinterpret_cast<const char*>(table.data()),
                                 table.size() * sizeof(d::kinfo_proc)),
                old, len);
        };
    }

    void add_process(std::int32_t pid, std::int32_t ppid, const char* comm = "p") {
        d::kinfo_proc entry{};
        entry.p_pid = pid;
        entry.e_ppid = ppid;
        std::strncpy(entry.p_comm, comm, sizeof entry.p_comm - 1);
        table.push_back(entry);
    }

    // Waits until `polls` polls have ended; false (a failure, not a hang)
    // when they do not within the patience.
    bool polls_ended(int polls) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, kPatience, [&] { return sleeps >= polls; });
    }
    void next_poll() {
        std::lock_guard lock(mutex);
        ++allowed;
        changed.notify_all();
    }
    // Lets the threads run free and waits for them to let go of their sinks.
    bool thread_ended() {
        std::unique_lock lock(mutex);
        allowed = INT_MAX;
        changed.notify_all();
        return changed.wait_for(lock, kPatience, [&] { return sinks == 0; });
    }
    template <class Predicate>
    bool wait_for(Predicate predicate) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, kPatience, predicate);
    }
    void count_sink(int change) {
        std::lock_guard lock(mutex);
        sinks += change;
        changed.notify_all();
    }
};

// Records each report under the rig's lock; `during`, if given, runs first
// and says whether the tracker may go on.
template <class Report>
struct RecordingSink : EventSink<Report> {
    std::shared_ptr<Rig> rig;
    std::vector<Report>& into;
    std::function<bool(const Report&)> during;

    RecordingSink(std::shared_ptr<Rig> r, std::vector<Report>& i,
                  std::function<bool(const Report&)> d)
        : rig(std::move(r)), into(i), during(std::move(d)) {
        rig->count_sink(1);
    }
    ~RecordingSink() override { rig->count_sink(-1); }
    bool deliver(const Report& report) override {
        const bool go_on = during ? during(report) : true;
        std::lock_guard lock(rig->mutex);
        into.push_back(report);
        rig->changed.notify_all();
        return go_on;
    }
};

template <class Report>
std::unique_ptr<EventSink<Report>> recorder(const std::shared_ptr<Rig>& rig,
                                            std::vector<Report>& into,
                                            std::function<bool(const Report&)> during = nullptr) {
    return std::make_unique<RecordingSink<Report>>(rig, into, std::move(during));
}

using Pairs = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

Pairs pids_of(const std::vector<ChildProcessEvent>& events) {
    Pairs out;
    for (const auto& e : events) out.emplace_back(e.pid, e.ppid);
    return out;
}

TEST(ChildTracker, ReportsEachDescendantOnceInWalkOrderPollingEveryHalfSecond) {
    auto rig = std::make_shared<Rig>();
    std::vector<ChildProcessEvent> events;  // guarded by rig->mutex once the thread runs
    // R(10) has A(11) and B(12) in that table order; A has A1(13), B has B1(14).
    // R's parent is A1: a cycle, as Darwin's kernel_task is its own parent,
    // which the walk must neither follow for ever nor report R in.
    rig->add_process(10, 13, "root");
    rig->add_process(11, 10, "a");
    rig->add_process(99, 1, "stranger");
    rig->add_process(12, 10, "b");
    rig->add_process(13, 11, "a1");
    rig->add_process(14, 12, "b1");
    auto tracker = start_tracking_children(rig->sys, 10, recorder(rig, events));
    ASSERT_TRUE(tracker);

    ASSERT_TRUE(rig->polls_ended(1));
    {
        std::lock_guard lock(rig->mutex);
        EXPECT_EQ(pids_of(events), (Pairs{{11, 10}, {12, 10}, {14, 12}, {13, 11}}));
        EXPECT_EQ(events[0].name, "a");
        EXPECT_EQ(rig->table_reads, 1);  // one per poll, however many processes it visits
        // The poll's own query scope, closed by now.
        EXPECT_EQ(rig->sys.scopes_opened, 1);
        EXPECT_EQ(rig->sys.scopes_closed, 1);
        EXPECT_EQ(rig->sleep_requests, (std::vector<std::pair<long, long>>{{0, 500'000'000}}));
        // B1 exits and B2 takes its place under B; a stranger's child is no descendant.
        rig->table.erase(rig->table.begin() + 5);
        rig->add_process(15, 12, "b2");
        rig->add_process(16, 99, "elsewhere");
    }
    rig->next_poll();
    ASSERT_TRUE(rig->polls_ended(2));
    {
        std::lock_guard lock(rig->mutex);
        EXPECT_EQ(pids_of(events), (Pairs{{11, 10}, {12, 10}, {14, 12}, {13, 11}, {15, 12}}));
        // Arguments are read for new descendants only: four, then B2.
        EXPECT_EQ(rig->argument_reads, 5);
        // A failed table read reports nothing and polling goes on.
        rig->table_fails = true;
    }
    rig->next_poll();
    ASSERT_TRUE(rig->polls_ended(3));
    tracker->stop();
    ASSERT_TRUE(rig->thread_ended());
    EXPECT_EQ(events.size(), 5u);
}

TEST(SocketTracker, ReportsNewKeysOfTheProcessOnlyWithAStateChangeAsANewKey) {
    auto rig = std::make_shared<Rig>();
    SocketCache cache;
    std::vector<SocketConnectionEvent> events;
    rig->sockets.processes = {
        {200, {testing::listener(3, 9090)}},
        {100,
         {testing::listener(3, 8080), testing::file_fd(4),
          testing::socket_fd(5, testing::udp(d::DARWIN_AF_INET6, 53))}},
    };
    auto tracker = start_tracking_sockets(rig->sys, 100, recorder(rig, events), cache);
    ASSERT_TRUE(rig->polls_ended(1));
    {
        std::lock_guard lock(rig->mutex);
        ASSERT_EQ(events.size(), 2u);
        for (const auto& e : events) EXPECT_EQ(e.pid, 100u);
        EXPECT_EQ(rig->sockets.listpids_calls, 2);  // one enumeration: a size probe, a listing
        // The listener is accepted into connections from two peers, which differ by their
        // remote address alone; fd 5 stays as it was.
        rig->sockets.processes[1].fds[0] = testing::socket_fd(
            3, testing::tcp(d::DARWIN_AF_INET, 8080, 40000, d::TCPS_ESTABLISHED));
        rig->sockets.processes[1].fds.push_back(testing::socket_fd(
            6, testing::tcp(d::DARWIN_AF_INET, 8080, 40001, d::TCPS_ESTABLISHED)));
    }
    rig->next_poll();  // within the cache's second: the same snapshot, nothing new
    ASSERT_TRUE(rig->polls_ended(2));
    {
        std::lock_guard lock(rig->mutex);
        EXPECT_EQ(events.size(), 2u);
        EXPECT_EQ(rig->sockets.listpids_calls, 2);
        rig->sockets.now_ns += 1'000'000'000;
    }
    rig->next_poll();
    ASSERT_TRUE(rig->polls_ended(3));
    {
        std::lock_guard lock(rig->mutex);
        ASSERT_EQ(events.size(), 4u);
        EXPECT_EQ(events[2].state, SocketState::Established);
        EXPECT_EQ(events[2].remote_addr->port, 40000);
        EXPECT_EQ(events[3].remote_addr->port, 40001);
        EXPECT_EQ(rig->sockets.listpids_calls, 4);
        // The same connection in another state is a new key.
        rig->sockets.processes[1].fds[0].info->psi.soi_proto.pri_tcp.tcpsi_state =
            d::TCPS_CLOSE_WAIT;
        rig->sockets.now_ns += 1'000'000'000;
    }
    rig->next_poll();
    ASSERT_TRUE(rig->polls_ended(4));
    tracker->stop();
    ASSERT_TRUE(rig->thread_ended());
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[4].state, SocketState::CloseWait);
    EXPECT_EQ(events[4].remote_addr->port, 40000);
}

// Three ways a tracker's thread ends after one delivery: stop() from inside
// it, after the sleep that follows; a sink that cannot go on, at once; stop()
// while the delivery is under way (a Python thread holding the interpreter
// lock the delivery waits for), which returns without waiting for it, the
// delivery still arriving. stop() may be called again, also after the end.
TEST(TrackerStop, EndsTheThreadAfterOneDeliveryWithoutWaitingForIt) {
    enum Way { kInside, kRefused, kUnderWay };
    for (const Way way : {kInside, kRefused, kUnderWay}) {
        auto rig = std::make_shared<Rig>();
        std::vector<std::vector<SocketQueueInfo>> lists;
        std::promise<ProcessQueueTracker*> handle;
        std::promise<void> unblock;
        bool in_delivery = false;
        auto during = [&, ready = handle.get_future().share(),
                       unblocked = unblock.get_future().share()](const auto&) {
            if (way == kRefused) return false;
            if (way == kUnderWay) {
                {
                    std::lock_guard lock(rig->mutex);
                    in_delivery = true;
                }
                rig->changed.notify_all();
                unblocked.wait_for(kPatience);
            } else if (ready.wait_for(kPatience) == std::future_status::ready) {
                ready.get()->stop();
                ready.get()->stop();
            }
            return true;
        };
        auto tracker = start_tracking_queues(
            rig->sys, 100, recorder<std::vector<SocketQueueInfo>>(rig, lists, during));
        handle.set_value(&*tracker);
        if (way == kUnderWay) {
            ASSERT_TRUE(rig->wait_for([&] { return in_delivery; }));
            auto stopped = std::async(std::launch::async, [&] { tracker->stop(); });
            EXPECT_EQ(stopped.wait_for(kPatience), std::future_status::ready);
            unblock.set_value();
        }
        ASSERT_TRUE(rig->wait_for([&] { return !lists.empty(); }));
        if (way == kRefused) tracker->stop();  // the handle's share of the sink goes with it
        ASSERT_TRUE(rig->thread_ended()) << way;
        EXPECT_EQ(lists.size(), 1u) << way;
        EXPECT_EQ(rig->sleeps, way == kRefused ? 0 : 1) << way;
        tracker->stop();
    }
}

}  // namespace
}  // namespace lumenstat
