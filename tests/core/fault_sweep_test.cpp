// The failure sweep: every core query and one poll of every tracker runs once
// on a healthy machine, where it must give the answer its row expects, to
// learn its calls; then once for every call N and every failure that call
// can meet, with call N failing. Each run must end in an error the query
// documents (exact text), or in the healthy answer without only the items
// whose call failed, or with them in a described fallback form; everything
// handed out must come back; and a later call on the same machine must
// answer as if the failure never happened. A new query is one row of
// `queries()`.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>

#include "core/answer_text.h"
#include "core/poll_gate.h"
#include "core/whole_machine.h"
#include "cpu/cpu_info.h"
#include "cpu/cpu_times.h"
#include "cpu/cpu_usage.h"
#include "disk/disk_io.h"
#include "disk/disks.h"
#include "disk/list_dir.h"
#include "memory.h"
#include "process/kill.h"
#include "process/process_cpu.h"
#include "process/process_io.h"
#include "process/process_table.h"
#include "process/tracker.h"
#include "socket/address_text.h"
#include "socket/lookups.h"
#include "socket/queues.h"
#include "socket/traffic.h"
#include "system_summary.h"

namespace lumenstat {
namespace {

using testing::address;
using testing::Call;
using testing::connection_text;
using testing::Failure;
using testing::FakeSystem;
using testing::WholeMachine;
using testing::words;

// One item of an answer. `key` names what it is about, as the calls' subjects
// do ("pid:301", "pid:301/fd:4", "entry:b.txt"); "" is about the whole answer.
struct Item {
    enum Loss { never, own_call, any_call };  // which failures may remove it
    Item(std::string key, std::string text, std::vector<std::string> fallbacks = {},
         Loss loss = never)
        : key(std::move(key)), text(std::move(text)), fallbacks(std::move(fallbacks)), loss(loss) {}

    std::string key;
    std::string text;
    std::vector<std::string> fallbacks;  // what a failed call about it may leave instead
    Loss loss;
};

struct Outcome {
    std::optional<std::string> error;  // the error's debug form
    std::vector<Item> items;
};

// What a query runs on: the machine, its system, and the socket cache, which
// lives as long as the machine.
struct Context {
    WholeMachine& machine;
    FakeSystem& sys;
    SocketCache& cache;
};

struct Query {
    std::string name;
    std::function<Outcome(Context&)> run;
    std::string healthy;  // the answer on the healthy machine, its items joined by "; "
    // Exact debug forms; {code} stands for the failing call's errno or
    // kern_return_t, {os_error} for its OS error text.
    std::vector<std::string> errors = {};
    // A tracker: only the calls of its first poll fail, and the answer holds
    // the reports of that poll and of a second one, in any order.
    bool polls = false;
};

template <class T, class Render>
Outcome listing(const Result<T>& result, Render render) {
    if (!result) return {result.error().debug(), {}};
    Outcome outcome;
    if constexpr (std::is_void_v<T>) {
        outcome.items.emplace_back("", "done");
    } else {
        render(*result, outcome.items);
    }
    return outcome;
}

std::string arguments(const std::string& exe_path, const std::vector<std::string>& cmdline) {
    std::string text = "[" + exe_path + "|";
    for (const std::string& arg : cmdline) text += arg + ',';
    return text + "]";
}

void add_process(const ProcessInfo& p, std::vector<Item>& items) {
    const std::string head =
        words(p.pid, p.ppid, p.name, status_text(p.status), p.memory_usage, p.start_time, "");
    // arguments unreadable: none
    items.push_back(
        {"pid:" + std::to_string(p.pid), head + arguments(p.exe_path, p.cmdline), {head + "[|]"}});
}

void add_connections(const std::vector<SocketConnection>& records, std::vector<Item>& items) {
    std::vector<std::pair<std::string, std::uint32_t>> texts;
    for (const SocketConnection& c : records) texts.emplace_back(connection_text(c), *c.pid);
    std::sort(texts.begin(), texts.end());  // the groups' order is unspecified
    for (const auto& [text, pid] : texts) {
        items.push_back({"pid:" + std::to_string(pid), text, {}, Item::any_call});
    }
}

void add_connection_groups(const StateGroups& groups, std::vector<Item>& items) {
    add_connections(flatten(groups), items);
}

Outcome found(const FoundConnection& result) {
    return listing(result, [](const auto& connection, std::vector<Item>& items) {
        if (connection) add_connections({*connection}, items);
    });
}

std::string summary_text(const SocketStateSummary& s) {
    return words(s.total, s.established, s.listen, s.time_wait, s.close_wait);
}

// The summary agrees with the listing it counted, whatever that held.
void add_summary(const SocketStateSummary& summary, const StateGroups& groups,
                 std::vector<Item>& items) {
    SocketStateSummary counted;
    for (const auto& [state, records] : groups) {
        counted.total += records.size();
        if (state == SocketState::Established) counted.established += records.size();
        if (state == SocketState::Listen) counted.listen += records.size();
    }
    if (summary != counted) {
        items.push_back(
            {"", "summary " + summary_text(summary) + " of a listing of " + summary_text(counted)});
    }
}

void add_cpu_info(const CpuInfo& c, std::vector<Item>& items) {
    const std::string head = words(c.physical_cores, c.logical_cores, c.model_name, c.vendor, "");
    // a machine without a published frequency reports 0
    items.push_back({"", head + std::to_string(c.frequency_mhz), {head + "0"}});
}

void add_usages(const std::vector<double>& usages, std::vector<Item>& items) {
    for (double usage : usages) items.push_back({"", std::to_string(usage)});
}

void add_memory(const MemoryInfo& m, std::vector<Item>& items) {
    items.push_back({"", words(m.total, m.available, m.used, m.free, m.usage_percent)});
}

void add_disks(const std::vector<DiskInfo>& disks, std::vector<Item>& items) {
    for (const DiskInfo& d : disks) {
        items.push_back({"mount:" + d.mount_point, words(d.device, d.fs_type, d.total_bytes,
                                                         d.used_bytes, d.available_bytes)});
    }
}

const std::vector<std::string> kProcessTableErrors = {
    R"~(SysCall("sysctl KERN_PROC_ALL size failed"))~",
    R"~(SysCall("sysctl KERN_PROC_ALL failed (errno {code})"))~",
};
const std::vector<std::string> kCpuTimesErrors = {
    R"~(SysCall("host_processor_info failed with error {code}"))~"};
const std::vector<std::string> kCpuInfoErrors = {
    R"~(SysCall("sysctlbyname hw.logicalcpu failed"))~",
    R"~(SysCall("sysctlbyname hw.physicalcpu failed"))~"};
const std::vector<std::string> kMemoryErrors = {
    R"~(SysCall("sysctl HW_MEMSIZE failed"))~",
    R"~(SysCall("host_statistics64 failed with error {code}"))~",
    R"~(SysCall("sysconf _SC_PAGESIZE failed"))~"};

template <class... Lists>
std::vector<std::string> joined(const Lists&... lists) {
    std::vector<std::string> all;
    (all.insert(all.end(), lists.begin(), lists.end()), ...);
    return all;
}

// Starts a tracker, lets its first poll run with the failure, turns the
// failure off, lets a second poll run a second later, stops it and waits for
// its thread to let go of the sink. The answer is both polls' reports.
template <class Report, class Start, class Render>
Outcome two_polls(Context& x, Start start, Render render) {
    auto gate = testing::PollGate<Report>::install(x.sys);
    auto tracker = start(x.sys, gate->sink());
    if (!tracker) return {tracker.error().debug(), {}};
    const bool polled = gate->polls_ended(1);
    x.sys.fail_at(0, {});
    x.machine.sockets.now_ns += 2'000'000'000;  // past the socket cache's second
    gate->next_poll();
    const bool polled_again = polled && gate->polls_ended(2);
    tracker->stop();
    if (!gate->thread_ended() || !polled_again) return {"tracker hung", {}};
    Outcome outcome;
    for (const Report& report : gate->reports) render(report, outcome.items);
    std::sort(outcome.items.begin(), outcome.items.end(),
              [](const Item& a, const Item& b) { return a.key + a.text < b.key + b.text; });
    return outcome;
}

void add_child(const ChildProcessEvent& e, std::vector<Item>& items) {
    const std::string head = words(e.pid, e.ppid, e.name, e.start_time, "");
    items.push_back(
        {"pid:" + std::to_string(e.pid), head + arguments(e.exe_path, e.cmdline), {head + "[|]"}});
}

void add_socket_event(const SocketConnectionEvent& e, std::vector<Item>& items) {
    items.push_back({"pid:" + std::to_string(*e.pid), connection_text(e)});
}

void add_queues(const std::vector<SocketQueueInfo>& queues, std::vector<Item>& items) {
    for (const SocketQueueInfo& q : queues) {
        items.push_back({"pid:" + std::to_string(q.pid) + "/fd:" + std::to_string(q.fd),
                         words(q.fd, socket_address_text(q.local_addr), address(q.remote_addr),
                               state_display_text(q.state), q.recv_queue_bytes, q.recv_queue_hiwat,
                               q.send_queue_bytes, q.send_queue_hiwat),
                         {},
                         Item::own_call});
    }
}

constexpr Duration kHalfSecond{0, 500'000'000};

std::vector<Query> queries() {
    SocketAddress listener = SocketAddress::v6({}, 8443);  // the only socket bound there
    listener.bytes[15] = 1;
    const SocketAddress peer = SocketAddress::v4({127, 0, 0, 2}, 50000);
    // Answers that several queries give, in part or whole.
    const std::string processes =
        "1 1 launchd Running 11468800 1700000001 [/sbin/launchd|/sbin/launchd,]; 300 1 zsh Running "
        "11468800 1700000300 [-zsh|-zsh,-l,]; 301 300 python3 Running 11468800 1700000301 "
        "[python3|python3,serve.py,--port=8080,]; 302 301 sleep Stopped 11468800 1700000302 "
        "[sleep|sleep,60,]";
    const std::string memory = "17179869184 4964352000 12215517184 1638400000 71.1037";
    const std::string cpu_info = "4 8 Apple M2 Apple 3000", usage = "16.666667; 30.000000";
    const std::string disks =
        "/dev/disk3s1 apfs 4096000 2457600 1228800; /dev/disk3s5 apfs 12288000 10649600 1228800";
    const std::string tcp =
        "tcp 127.0.0.1:8080 - LISTEN 301; tcp 127.0.0.1:8080 127.0.0.2:50000 ESTABLISHED 301; tcp "
        "127.0.0.1:8080 127.0.0.2:50001 ESTABLISHED 301; tcp6 [::1]:8443 - LISTEN 301";
    const std::string udp = "udp6 [::1]:5353 - UNKNOWN 300", sockets = tcp + "; " + udp;
    return {
        {"get_processes",
         [](Context& x) {
             return listing(get_processes(x.sys), [](const auto& ps, auto& items) {
                 for (const ProcessInfo& p : ps) add_process(p, items);
             });
         },
         processes, kProcessTableErrors},
        {"get_process_io",
         [](Context& x) {
             return listing(get_process_io(x.sys, 300), [](const ProcessIoInfo& io, auto& items) {
                 items.push_back({"", words(io.pid, io.read_bytes, io.write_bytes)});
             });
         },
         "300 1228800 153600",
         {"ProcessNotFound(300)"}},
        {"get_process_cpu_usage",
         [](Context& x) {
             return listing(get_process_cpu_usage(x.sys, 301, kHalfSecond),
                            [](double usage, auto& items) { add_usages({usage}, items); });
         },
         "25.000000",
         {"ProcessNotFound(301)"}},
        {"kill_process",
         [](Context& x) { return listing(kill_process(x.sys, 300), nullptr); },
         "done",
         {R"~(PermissionDenied("kill pid 300"))~", "ProcessNotFound(300)",
          R"~(SysCall("kill(300) failed: {os_error}"))~"}},
        {"get_cpu_info", [](Context& x) { return listing(get_cpu_info(x.sys), add_cpu_info); },
         cpu_info, kCpuInfoErrors},
        {"get_cpu_times",
         [](Context& x) {
             return listing(get_cpu_times(x.sys), [](const auto& times, auto& items) {
                 for (const CpuTimes& t : times) {
                     items.push_back({"", words(t.user, t.system, t.idle, t.nice)});
                 }
             });
         },
         "5000 2500 40000 500; 15000 0 35000 0", kCpuTimesErrors},
        {"get_cpu_usage",
         [](Context& x) { return listing(get_cpu_usage(x.sys, kHalfSecond), add_usages); }, usage,
         kCpuTimesErrors},
        {"get_memory_info", [](Context& x) { return listing(get_memory_info(x.sys), add_memory); },
         memory, kMemoryErrors},
        {"get_disks",
         [](Context& x) { return listing(get_disks(x.sys), add_disks); },
         disks,
         {R"~(SysCall("getfsstat failed"))~"}},
        {"get_disk_io_stats",
         [](Context& x) {
             return listing(get_disk_io_stats(x.sys), [](const auto& drivers, auto& items) {
                 for (const DiskIoStats& io : drivers) {
                     // The machine's driver 101 + n counts (n + 1) * 1000 bytes read.
                     items.push_back({"io:" + std::to_string(100 + io.bytes_read / 1000),
                                      words(io.bytes_read, io.bytes_written, io.reads, io.writes,
                                            io.read_time_ms, io.write_time_ms),
                                      {},
                                      Item::own_call});
                 }
             });
         },
         "1000 1001 1002 1003 1004 1005; 3000 3001 3002 3003 3004 3005",
         {R"~(SysCall("IOServiceMatching failed"))~",
          R"~(SysCall("IOServiceGetMatchingServices failed: {code}"))~"}},
        {"list_dir",
         [](Context& x) {
             auto listed = list_dir(x.sys, "/dir");
             if (!listed) return Outcome{listed.error().text(), {}};
             Outcome outcome;
             for (const DirEntry& e : *listed) {
                 outcome.items.push_back(
                     {"entry:" + e.name, words(e.path, e.is_dir, e.size), {}, Item::own_call});
             }
             return outcome;
         },
         "/dir/zdir 1 0; /dir/A.txt 0 500; /dir/b.txt 0 500; /dir/link 0 400",
         {"{os_error}"}},
        {"get_tcp_connections",
         [](Context& x) {
             return listing(get_tcp_connections(x.sys, x.cache), add_connection_groups);
         },
         tcp},
        {"get_udp_sockets",
         [](Context& x) { return listing(get_udp_sockets(x.sys, x.cache), add_connection_groups); },
         udp},
        {"get_connections",
         [](Context& x) { return listing(get_connections(x.sys, x.cache), add_connection_groups); },
         sockets},
        {"get_socket_summary",
         [](Context& x) {
             Result<SocketStateSummary> summary = get_socket_summary(x.sys, x.cache);
             // the same listing, from the cache
             Result<StateGroups> counted = get_connections(x.sys, x.cache);
             if (!counted) return Outcome{counted.error().debug(), {}};
             return listing(summary, [&](const SocketStateSummary& sum, auto& items) {
                 add_connection_groups(*counted, items);
                 add_summary(sum, *counted, items);
             });
         },
         sockets},
        {"connection_by_pid",
         [](Context& x) { return found(connection_by_pid(x.sys, 300, x.cache)); },
         "udp6 [::1]:5353 - UNKNOWN 300"},
        {"connection_by_local_addr",
         [listener](Context& x) {
             return found(connection_by_local_addr(x.sys, listener, x.cache));
         },
         "tcp6 [::1]:8443 - LISTEN 301"},
        {"connection_by_remote_addr",
         [peer](Context& x) { return found(connection_by_remote_addr(x.sys, peer, x.cache)); },
         "tcp 127.0.0.1:8080 127.0.0.2:50000 ESTABLISHED 301"},
        {"connections_by_state",
         [](Context& x) {
             return listing(connections_by_state(x.sys, SocketState::Listen, x.cache),
                            add_connections);
         },
         "tcp 127.0.0.1:8080 - LISTEN 301; tcp6 [::1]:8443 - LISTEN 301"},
        {"get_process_socket_queues",
         [](Context& x) { return listing(get_process_socket_queues(x.sys, 301), add_queues); },
         "3 127.0.0.1:8080 - LISTEN 30 65536 60 131072; "
         "4 127.0.0.1:8080 127.0.0.2:50000 ESTABLISHED 40 65536 80 131072; "
         "6 [::1]:8443 - LISTEN 60 65536 120 131072; "
         "7 127.0.0.1:8080 127.0.0.2:50001 ESTABLISHED 70 65536 140 131072"},
        {"get_process_socket_stats",
         [](Context& x) {
             return listing(
                 get_process_socket_stats(x.sys, 301), [](const auto& stats, auto& items) {
                     for (const SocketStats& t : stats) {
                         const std::string head =
                             words(t.pid, t.fd, protocol_text(t.protocol),
                                   socket_address_text(t.local_addr), address(t.remote_addr), "");
                         // a traffic tool that cannot be run leaves the counts at 0
                         items.push_back({"pid:301/fd:" + std::to_string(t.fd),
                                          head + words(t.bytes_sent, t.bytes_received),
                                          {head + "0 0"},
                                          Item::own_call});
                     }
                 });
         },
         "301 3 tcp 127.0.0.1:8080 - 0 0; 301 4 tcp 127.0.0.1:8080 127.0.0.2:50000 700 1500; "
         "301 6 tcp6 [::1]:8443 - 10 20; 301 7 tcp 127.0.0.1:8080 127.0.0.2:50001 0 0"},
        {"get_system_summary",
         [](Context& x) {
             return listing(get_system_summary(x.sys, kHalfSecond, x.cache),
                            [](const SystemSummary& sum, auto& items) {
                                add_memory(sum.memory, items);
                                add_cpu_info(sum.cpu, items);
                                add_disks(sum.disks, items);
                                add_connections(sum.connections, items);
                                for (const ProcessInfo& p : sum.processes) add_process(p, items);
                                add_usages(sum.cpu_usage, items);
                                StateGroups groups;
                                for (const SocketConnection& c : sum.connections)
                                    groups[c.state].push_back(c);
                                add_summary(sum.socket_summary, groups, items);
                            });
         },
         memory + "; " + cpu_info + "; " + disks + "; " + sockets + "; " + processes + "; " + usage,
         joined(kMemoryErrors, kCpuInfoErrors,
                std::vector<std::string>{R"~(SysCall("getfsstat failed"))~"}, kProcessTableErrors,
                kCpuTimesErrors)},
        {"tracker children poll",
         [](Context& x) {
             return two_polls<ChildProcessEvent>(
                 x,
                 [](auto& s, auto sink) {
                     return start_tracking_children(s, 300, std::move(sink));
                 },
                 add_child);
         },
         "301 300 python3 1700000301 [python3|python3,serve.py,--port=8080,]; "
         "302 301 sleep 1700000302 [sleep|sleep,60,]",
         {},
         true},
        {"tracker sockets poll",
         [](Context& x) {
             return two_polls<SocketConnectionEvent>(
                 x,
                 [&](auto& s, auto sink) {
                     return start_tracking_sockets(s, 301, std::move(sink), x.cache);
                 },
                 add_socket_event);
         },
         tcp,
         {},
         true},
        {"tracker queues poll",
         [](Context& x) {
             return two_polls<std::vector<SocketQueueInfo>>(
                 x,
                 [](auto& s, auto sink) { return start_tracking_queues(s, 301, std::move(sink)); },
                 add_queues);
         },
         "3 127.0.0.1:8080 - LISTEN 30 65536 60 131072; "
         "3 127.0.0.1:8080 - LISTEN 30 65536 60 131072; "
         "4 127.0.0.1:8080 127.0.0.2:50000 ESTABLISHED 40 65536 80 131072; "
         "4 127.0.0.1:8080 127.0.0.2:50000 ESTABLISHED 40 65536 80 131072; "
         "6 [::1]:8443 - LISTEN 60 65536 120 131072; 6 [::1]:8443 - LISTEN 60 65536 120 131072; "
         "7 127.0.0.1:8080 127.0.0.2:50001 ESTABLISHED 70 65536 140 131072; "
         "7 127.0.0.1:8080 127.0.0.2:50001 ESTABLISHED 70 65536 140 131072",
         {},
         true},
    };
}

// --- judging -------------------------------------------------------------

bool about(const std::string& key, const std::string& subject) {
    if (key.empty()) return true;
    if (subject.empty()) return false;
    return key == subject || subject.starts_with(key + "/") || key.starts_with(subject + "/");
}

// Whether `text` is `pattern` with each "{code}" and "{os_error}" filled in:
// with the failing call's code when it has one, else with anything.
bool error_allowed(const std::string& text, const Query& query, const Failure& failure) {
    const bool coded =
        failure.kind == Failure::error_number || failure.kind == Failure::kern_return;
    for (std::string pattern : query.errors) {
        for (auto [hole, value] : {std::pair{"{code}", std::to_string(failure.code)},
                                   std::pair{"{os_error}", os_error_text(failure.code)}}) {
            if (const auto at = pattern.find(hole); at != std::string::npos) {
                pattern.replace(at, std::strlen(hole), coded ? value : "*");
            }
        }
        const auto star = pattern.find('*');
        if (star == std::string::npos
                ? text == pattern
                : text.size() >= pattern.size() - 1 && text.starts_with(pattern.substr(0, star)) &&
                      text.ends_with(pattern.substr(star + 1))) {
            return true;
        }
    }
    return false;
}

// What is wrong with `got`, the answer to a run whose call `call` met
// `failure`, against the healthy answer; "" when nothing is.
std::string judge(const Query& query, const Outcome& healthy, const Outcome& got, const Call& call,
                  const Failure& failure) {
    if (got.error) {
        return error_allowed(*got.error, query, failure) ? "" : "error " + *got.error;
    }
    std::size_t next = 0;
    for (const Item& want : healthy.items) {
        const bool mine = about(want.key, call.subject);
        const bool losable = want.loss == Item::any_call || (want.loss == Item::own_call && mine);
        if (next < got.items.size() && got.items[next].key == want.key) {
            const std::string& text = got.items[next].text;
            const bool fallback = mine && std::find(want.fallbacks.begin(), want.fallbacks.end(),
                                                    text) != want.fallbacks.end();
            if (text == want.text || fallback) {
                ++next;
                continue;
            }
            if (!losable) return "made-up " + text + " for " + want.text;
        } else if (!losable) {
            return "lost " + want.text;
        }
    }
    if (next < got.items.size()) return "unexpected " + got.items[next].text;
    return "";
}

std::string texts(const Outcome& outcome) {
    if (outcome.error) return *outcome.error;
    std::string all;
    for (const Item& item : outcome.items) all += (all.empty() ? "" : "; ") + item.text;
    return all;
}

// --- running -------------------------------------------------------------

struct Sweep {
    std::set<std::string> queries, failure_kinds;
    std::size_t calls = 0, runs = 0;
    std::vector<std::string> faults;

    void fault(const std::string& query, std::size_t n, const Call& call, const Failure& failure,
               const std::string& what) {
        faults.push_back(query + ": call " + std::to_string(n) + " " + call.name + "(" +
                         call.subject + ") " + testing::failure_name(failure) + ": " + what);
    }
};

constexpr std::uint64_t kLaterCall = 100'000'000'000;  // the clock of every later call

struct Runs {
    Outcome first, later;
    std::vector<Call> calls;        // of the first run
    std::vector<std::string> left;  // what the first run left behind
};

// Query `query` on a fresh machine with call `n` failing (0: none); then, on
// the same machine, once more with nothing failing.
Runs run_query(const Query& query, std::size_t n, Failure failure) {
    WholeMachine machine;
    SocketCache cache;
    Context context{machine, machine.sys, cache};
    machine.sys.fail_at(n, failure);
    Runs runs{query.run(context), {}, machine.sys.calls(), machine.leaks()};
    if (machine.sys.scopes_open() != 0) runs.left.push_back("a query scope left open");
    machine.sys.fail_at(0, {});
    machine.sockets.now_ns = kLaterCall;  // the socket cache's second has passed
    runs.later = query.run(context);
    return runs;
}

void sweep_query(const Query& query, Sweep& sweep) {
    const Runs healthy = run_query(query, 0, {});
    ASSERT_TRUE(healthy.left.empty()) << query.name << ": " << healthy.left.front();
    EXPECT_EQ(texts(healthy.first), query.healthy) << query.name;
    // Every call is made inside a query scope, and a sleep ends the scope:
    // what is read after it is read afresh.
    for (std::size_t n = 1; n <= healthy.calls.size(); ++n) {
        const Call& call = healthy.calls[n - 1];
        if ((call.scope == 0) != (call.name == "nanosleep")) {
            sweep.fault(query.name, n, call, {}, "made in scope " + std::to_string(call.scope));
        }
    }
    sweep.queries.insert(query.name);
    sweep.calls += healthy.calls.size();
    std::size_t last = healthy.calls.size();
    for (std::size_t n = 1; query.polls && n <= last; ++n) {
        if (healthy.calls[n - 1].name == "nanosleep") last = n - 1;  // the first poll ends there
    }
    for (std::size_t n = 1; n <= last; ++n) {
        const Call& call = healthy.calls[n - 1];
        for (const Failure& failure : call.failures) {
            sweep.failure_kinds.insert(testing::failure_name(failure));
            ++sweep.runs;
            const Runs runs = run_query(query, n, failure);
            std::string what = judge(query, healthy.first, runs.first, call, failure);
            if (what.empty() && !runs.left.empty()) what = runs.left.front();
            if (what.empty() && texts(runs.later) != texts(healthy.later)) {
                what = "the next call answered " + texts(runs.later);
            }
            if (!what.empty()) sweep.fault(query.name, n, call, failure, what);
        }
    }
}

TEST(FaultSweep, EveryQueryMeetsEveryFailureOfEveryCall) {
    Sweep sweep;
    for (const Query& query : queries()) sweep_query(query, sweep);
    std::string line =
        "fault sweep over the fake os: " + std::to_string(sweep.queries.size()) + " queries, " +
        std::to_string(sweep.calls) + " calls, " + std::to_string(sweep.failure_kinds.size()) +
        " failure kinds, " + std::to_string(sweep.runs) +
        " runs; failed: " + (sweep.faults.empty() ? "none" : std::to_string(sweep.faults.size()));
    std::printf("%s\n", line.c_str());
    // The test command gathers the sweeps' closing lines into one.
    if (const char* path = std::getenv("LUMENSTAT_FAULT_SWEEP_LINES")) {
        if (std::FILE* lines = std::fopen(path, "a")) {
            std::fprintf(lines, "%s\n", line.c_str());
            std::fclose(lines);
        }
    }
    for (const std::string& fault : sweep.faults) ADD_FAILURE() << fault;
}

}  // namespace
}  // namespace lumenstat
