// A tracker's sleeps pass through a gate the test opens one poll at a time,
// so that the test sees every poll's reports before the next poll starts.
// Sinks record into the gate and share it, so it outlives the tracker's
// thread whatever the test does.
#pragma once

#include <chrono>
#include <climits>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "process/tracker.h"
#include "support/fake_system.h"

namespace lumenstat::testing {

template <class Report>
struct PollGate : std::enable_shared_from_this<PollGate<Report>> {
    std::mutex mutex;
    std::condition_variable changed;
    int sleeps = 0;  // begun, so also polls finished
    int allowed = 0;
    int sinks = 0;  // alive
    std::vector<Report> reports;

    // Makes `sys` sleep through a new gate.
    static std::shared_ptr<PollGate> install(FakeSystem& sys) {
        auto gate = std::make_shared<PollGate>();
        sys.on_nanosleep = [gate = gate.get()](const timespec*, timespec*) {
            std::unique_lock lock(gate->mutex);
            const int ticket = ++gate->sleeps;
            gate->changed.notify_all();
            gate->changed.wait(lock, [&] { return gate->allowed >= ticket; });
            return 0;
        };
        return gate;
    }

    // A sink that records each report.
    std::unique_ptr<EventSink<Report>> sink() {
        struct Sink : EventSink<Report> {
            std::shared_ptr<PollGate> gate;
            explicit Sink(std::shared_ptr<PollGate> g) : gate(std::move(g)) { gate->count_sink(1); }
            ~Sink() override { gate->count_sink(-1); }
            bool deliver(const Report& report) override {
                std::lock_guard lock(gate->mutex);
                gate->reports.push_back(report);
                gate->changed.notify_all();
                return true;
            }
        };
        return std::make_unique<Sink>(this->shared_from_this());
    }

    // Whether `predicate` came true within the patience (a failure, not a hang).
    template <class Predicate>
    bool wait(Predicate predicate) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5), predicate);
    }
    bool polls_ended(int polls) {
        return wait([&] { return sleeps >= polls; });
    }
    void next_poll() {
        std::lock_guard lock(mutex);
        ++allowed;
        changed.notify_all();
    }
    // Lets the threads run free and waits for them to let go of their sinks.
    bool thread_ended() {
        {
            std::lock_guard lock(mutex);
            allowed = INT_MAX;
            changed.notify_all();
        }
        return wait([&] { return sinks == 0; });
    }

private:
    void count_sink(int change) {
        std::lock_guard lock(mutex);
        sinks += change;
        changed.notify_all();
    }
};

}  // namespace lumenstat::testing
