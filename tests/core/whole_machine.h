// One machine behind the fake, answering every call a query makes: by default
// four processes with arguments, memory and sockets, two CPUs whose ticks
// advance with the clock, memory counters, three mounts, a directory and a
// registry of three storage drivers. A test describes another machine by
// changing the public parts before the query. Where a query may take a figure
// from a second source when the first fails, both sources agree, so that
// only a made-up figure differs from the healthy answer. It counts every
// buffer, directory stream and IOKit or CoreFoundation object it hands out
// and takes back: `leaks()` names what is still out, or was handed back twice.
#pragma once

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "os/darwin_socket.h"
#include "support/fake_system.h"

namespace lumenstat::testing {

inline constexpr int V4 = d::DARWIN_AF_INET, V6 = d::DARWIN_AF_INET6;

struct FakeDescriptor {
    int fd = 0;
    std::uint32_t type = d::PROX_FDTYPE_SOCKET;
    std::optional<d::socket_fdinfo> info;  // absent: proc_pidfdinfo fails
};

struct FakeProcess {
    FakeProcess(int pid, std::vector<FakeDescriptor> fds = {}) : pid(pid), fds(std::move(fds)) {}

    int pid;
    std::vector<FakeDescriptor> fds;
    bool size_readable = true;  // the size probe of the descriptor list
    bool fds_readable = true;   // else the listing fails with EPERM
    // pbi_nfiles and the size probe's count; default: the number of fds
    std::optional<std::uint32_t> nfiles;
};

// The processes as libproc lists them, with their descriptors, and the clock.
struct ProcessList {
    std::vector<FakeProcess> processes;
    std::uint64_t now_ns = 5'000'000'000;
    std::optional<int> listpids_probe;  // absent: the honest size
    std::vector<int> listfds_sizes;

    const FakeProcess* find(int pid) const {
        auto it = std::find_if(processes.begin(), processes.end(),
                               [&](const FakeProcess& p) { return p.pid == pid; });
        return it == processes.end() ? nullptr : &*it;
    }
};

// A socket as Darwin's kernel fills it, from 127.0.0.1 (::1 when `family` is
// AF_INET6) to 127.0.0.2 (::2); a remote port of 0 leaves the remote address
// zero. IPv4 addresses sit in the last four bytes of the 16-byte fields.
inline d::socket_fdinfo socket_info(int kind, int protocol, int family, std::uint16_t lport,
                                    std::uint16_t rport, int tcp_state, std::uint8_t vflag = 0) {
    d::socket_fdinfo info{};
    info.psi.soi_kind = kind;
    info.psi.soi_protocol = protocol;
    info.psi.soi_family = family;
    d::in_sockinfo& in = info.psi.soi_proto.pri_in;
    in.insi_vflag = vflag;
    auto fill = [&](std::uint8_t* bytes, std::uint8_t last) {
        bytes[15] = last;
        if (family != d::DARWIN_AF_INET6) bytes[12] = 127;
    };
    fill(in.insi_laddr.bytes, 1);
    in.insi_lport = htons(lport);
    if (rport != 0) fill(in.insi_faddr.bytes, 2);
    in.insi_fport = htons(rport);
    info.psi.soi_proto.pri_tcp.tcpsi_state = tcp_state;
    return info;
}

inline d::socket_fdinfo tcp(int family, std::uint16_t lport, std::uint16_t rport, int state,
                            std::uint8_t vflag = 0) {
    return socket_info(d::SOCKINFO_TCP, d::DARWIN_IPPROTO_TCP, family, lport, rport, state, vflag);
}

inline d::socket_fdinfo udp(int family, std::uint16_t lport, std::uint16_t rport = 0) {
    return socket_info(d::SOCKINFO_IN, d::DARWIN_IPPROTO_UDP, family, lport, rport, 0);
}

inline FakeDescriptor socket_fd(int fd, const d::socket_fdinfo& info) {
    return {fd, d::PROX_FDTYPE_SOCKET, info};
}

inline FakeDescriptor listener(int fd, std::uint16_t port, int family = d::DARWIN_AF_INET) {
    return socket_fd(fd, tcp(family, port, 0, d::TCPS_LISTEN));
}

inline FakeDescriptor file_fd(int fd) { return {fd, d::PROX_FDTYPE_VNODE, std::nullopt}; }

inline d::statfs mount(std::string_view from, std::string_view on, std::string_view type,
                       std::uint64_t blocks) {
    d::statfs entry{};
    std::memcpy(entry.f_mntfromname, from.data(), from.size());
    std::memcpy(entry.f_mntonname, on.data(), on.size());
    std::memcpy(entry.f_fstypename, type.data(), type.size());
    entry.f_bsize = 4096;
    entry.f_iosize = 1 << 20;  // never the block size
    entry.f_blocks = blocks;
    entry.f_bfree = 400;
    entry.f_bavail = 300;
    return entry;
}

struct WholeMachine {
    static constexpr std::uint64_t kPage = 16384;
    static constexpr std::uint64_t kResident = 700 * kPage;
    static constexpr std::uint32_t kNumer = 125, kDenom = 3;  // Mach units to nanoseconds
    // Every process has used a quarter of the time on the clock, every CPU
    // advances its ticks with it.
    static constexpr std::uint64_t kTick = 10'000'000;
    static constexpr std::uint16_t kFile = 0100644, kDir = 0040755, kLink = 0120777;

    struct Entry {
        std::string name;
        std::optional<std::uint16_t> mode;  // absent: vanished after it was listed
        std::int64_t size = 0;
    };
    using Statistics = std::map<std::string, std::int64_t>;
    struct Driver {
        bool readable = true;                  // its properties can be read
        std::optional<Statistics> statistics;  // absent: no "Statistics" at all
    };

    FakeSystem sys;
    ProcessList sockets;
    std::vector<d::kinfo_proc> table;
    std::map<int, std::string> argument_areas;
    std::uint64_t memsize = 16ull << 30;
    d::vm_statistics64 vm{};
    long page_size = kPage;
    std::map<std::string, std::string, std::less<>> sysctls = {
        {"hw.logicalcpu", std::string("\x08\0\0\0", 4)},
        {"hw.physicalcpu", std::string("\x04\0\0\0", 4)},
        {"machdep.cpu.brand_string", std::string("Apple M2\0", 9)},
        {"hw.model", std::string("Apple M2\0", 9)},                     // agrees with the brand
        {"hw.cpufrequency", std::string("\0\x5e\xd0\xb2\0\0\0\0", 8)},  // 3 GHz
    };
    std::vector<d::statfs> mounts = {mount("/dev/disk3s1", "/", "apfs", 1000),
                                     mount("devfs", "/dev", "devfs", 2000),
                                     mount("/dev/disk3s5", "/System/Volumes/Data", "apfs", 3000)};
    std::vector<Entry> entries = {{".", kDir, 64},       {"..", kDir, 64},    {"b.txt", kFile, 500},
                                  {"A.txt", kFile, 500}, {"zdir", kDir, 400}, {"link", kLink, 400}};
    std::vector<Driver> drivers;
    std::multiset<const void*> out;  // handed out, not yet taken back
    std::vector<std::string> bad_returns;

    WholeMachine() {
        add_process(1, 1, "launchd", {"/sbin/launchd"});
        add_process(300, 1, "zsh", {"-zsh", "-l"});
        add_process(301, 300, "python3", {"python3", "serve.py", "--port=8080"});
        add_process(302, 301, "sleep", {"sleep", "60"});
        table.back().p_stat = d::SSTOP;
        sockets.processes = {
            {1, {file_fd(0)}},
            {300, {file_fd(0), socket_fd(3, udp(d::DARWIN_AF_INET6, 5353))}},
            {301,
             {listener(3, 8080), socket_fd(4, tcp(d::DARWIN_AF_INET, 8080, 50000, 4)), file_fd(5),
              listener(6, 8443, d::DARWIN_AF_INET6),
              socket_fd(7, tcp(d::DARWIN_AF_INET, 8080, 50001, 4))}},
            {302, {}},
        };
        for (FakeProcess& process : sockets.processes) {
            for (FakeDescriptor& fd : process.fds) {
                if (!fd.info) continue;
                fd.info->psi.soi_proto.pri_in.insi_vflag =
                    fd.info->psi.soi_family == d::DARWIN_AF_INET ? d::INI_IPV4 : d::INI_IPV6;
                fd.info->psi.soi_rcv.sbi_cc = 10u * fd.fd;
                fd.info->psi.soi_rcv.sbi_hiwat = 65536;
                fd.info->psi.soi_snd.sbi_cc = 20u * fd.fd;
                fd.info->psi.soi_snd.sbi_hiwat = 131072;
            }
        }
        vm.free_count = 100'000;
        vm.inactive_count = 200'000;
        vm.purgeable_count = 3'000;
        // Driver n counts (n + 1) * 1000 + k under its k-th key; the second has moved nothing.
        for (std::int64_t n = 0; n < 3; ++n) {
            Statistics counts;
            for (std::int64_t k = 0; k < 6; ++k)
                counts[kCounters[k]] = n == 1 ? 0 : (n + 1) * 1000 + k;
            drivers.push_back({true, counts});
        }
        install_processes();
        install_host();
        install_storage();
        install_registry();
    }

    // How many calls named `name` the machine has answered.
    std::size_t calls(std::string_view name) {
        return std::ranges::count(sys.calls(), name, &Call::name);
    }

    std::vector<std::string> leaks() const {
        std::vector<std::string> found = bad_returns;
        if (!out.empty()) found.push_back(std::to_string(out.size()) + " objects not released");
        return found;
    }

    void add_process(int pid, int ppid, const char* comm, std::vector<std::string> args) {
        d::kinfo_proc entry{};
        entry.p_pid = pid;
        entry.e_ppid = ppid;
        entry.p_stat = d::SRUN;
        entry.p_starttime.tv_sec = 1'700'000'000 + pid;
        entry.e_xrssize = static_cast<std::int16_t>(kResident / kPage);
        std::strncpy(entry.p_comm, comm, sizeof entry.p_comm - 1);
        table.push_back(entry);
        std::string area(4, '\0');
        const auto argc = static_cast<std::uint32_t>(args.size());
        std::memcpy(area.data(), &argc, 4);
        area += "/usr/bin/" + std::string(comm) + std::string(3, '\0');
        for (const std::string& arg : args) area += arg + '\0';
        argument_areas[pid] = area;
    }

private:
    static constexpr const char* kCounters[] = {"Bytes (Read)",      "Bytes (Write)",
                                                "Operations (Read)", "Operations (Write)",
                                                "Total Time (Read)", "Total Time (Write)"};
    struct Object {
        std::string text;  // a key's text
        std::int64_t value = 0;
        const Driver* driver = nullptr;  // what a properties or statistics object describes
        bool statistics = false;
    };
    std::deque<Object> objects_;
    std::size_t next_entry_ = 0;
    std::size_t next_driver_ = 0;

    const void* hand_out(Object object, bool owned = true) {
        objects_.push_back(std::move(object));
        if (owned) out.insert(&objects_.back());
        return &objects_.back();
    }
    void take_back(const void* object, const char* call) {
        auto it = out.find(object);
        if (it == out.end()) {
            bad_returns.push_back(std::string(call) + " of an object not handed out");
        } else {
            out.erase(it);
        }
    }
    static const Object& at(const void* p) { return *static_cast<const Object*>(p); }

    void install_processes() {
        sys.on_sysctl = [this](const int* name, unsigned length, void* old, std::size_t* len,
                               const void*, std::size_t) {
            if (length == 2 && name[0] == d::CTL_HW && name[1] == d::HW_MEMSIZE) {
                return answer_sized({reinterpret_cast<const char*>(&memsize), 8}, old, len);
            }
            if (length == 3 && name[1] == d::KERN_PROC) {
                return answer_sized({reinterpret_cast<const char*>(table.data()),
                                     table.size() * sizeof(d::kinfo_proc)},
                                    old, len);
            }
            auto area = length == 3 && name[1] == d::KERN_PROCARGS2 ? argument_areas.find(name[2])
                                                                    : argument_areas.end();
            if (area == argument_areas.end()) return errno = EINVAL, -1;
            return answer_sized(area->second, old, len);
        };
        sys.on_sysconf = [this](int name) { return name == d::SC_PAGESIZE ? page_size : -1L; };
        sys.on_proc_pid_rusage = [this](int pid, int flavor, void* out) {
            if (!known(pid)) return errno = ESRCH, -1;
            d::rusage_info_v2 usage{};
            usage.ri_resident_size = usage.ri_phys_footprint = kResident;
            usage.ri_user_time = sockets.now_ns / 4;  // the task times, converted
            usage.ri_diskio_bytesread = 4096u * pid;
            usage.ri_diskio_byteswritten = 512u * pid;
            std::memcpy(out, &usage,
                        flavor == d::RUSAGE_INFO_V0 ? sizeof(d::rusage_info_v0) : sizeof usage);
            return 0;
        };
        sys.on_monotonic_ns = [this] { return sockets.now_ns; };
        sys.on_proc_listpids = [this](std::uint32_t, std::uint32_t, void* out, int size) {
            const auto& all = sockets.processes;
            if (out == nullptr) return sockets.listpids_probe.value_or(4 * int(all.size()));
            const std::size_t n = std::min(all.size(), static_cast<std::size_t>(size) / 4);
            for (std::size_t i = 0; i < n; ++i) static_cast<int*>(out)[i] = all[i].pid;
            return static_cast<int>(n * 4);
        };
        sys.on_proc_pidinfo = [this](int pid, int flavor, std::uint64_t, void* out, int size) {
            const FakeProcess* process = sockets.find(pid);
            if (process == nullptr) return errno = ESRCH, 0;
            const std::uint64_t nfiles = process->nfiles.value_or(process->fds.size());
            if (flavor == d::PROC_PIDLISTFDS && out == nullptr) {
                return process->size_readable ? int(std::min<std::uint64_t>(nfiles * 8, INT32_MAX))
                                              : 0;
            }
            if (flavor == d::PROC_PIDLISTFDS) {
                sockets.listfds_sizes.push_back(size);
                if (!process->fds_readable) return errno = EPERM, 0;
                const std::size_t n = std::min(process->fds.size(), std::size_t(size) / 8);
                for (std::size_t i = 0; i < n; ++i) {
                    static_cast<d::proc_fdinfo*>(out)[i] = {process->fds[i].fd,
                                                            process->fds[i].type};
                }
                return static_cast<int>(n * 8);
            }
            d::proc_taskallinfo all{};
            all.pbsd.pbi_nfiles = static_cast<std::uint32_t>(nfiles);
            all.ptinfo.pti_resident_size = kResident;
            all.ptinfo.pti_total_user = sockets.now_ns / 4 * kDenom / kNumer;
            const bool task = flavor == d::PROC_PIDTASKINFO;
            const auto length = task ? sizeof all.ptinfo : sizeof all;
            if (size < static_cast<int>(length)) return errno = EINVAL, 0;
            std::memcpy(out, task ? static_cast<void*>(&all.ptinfo) : &all, length);
            return static_cast<int>(length);
        };
        sys.on_proc_pidfdinfo = [this](int pid, int fd, int flavor, void* out, int size) {
            const FakeProcess* process = sockets.find(pid);
            if (process == nullptr || flavor != d::PROC_PIDFDSOCKETINFO ||
                size != int(sizeof(d::socket_fdinfo))) {
                return 0;
            }
            for (const FakeDescriptor& descriptor : process->fds) {
                if (descriptor.fd != fd || !descriptor.info) continue;
                std::memcpy(out, &*descriptor.info, sizeof(d::socket_fdinfo));
                return static_cast<int>(sizeof(d::socket_fdinfo));
            }
            return errno = EBADF, 0;
        };
        sys.on_kill = [this](int pid, int) { return known(pid) ? 0 : (errno = ESRCH, -1); };
        sys.on_spawn_collect = [](const char*, const char* const*, os::ChildOutput& output) {
            output.standard_output =
                "time,,interface,state,bytes_in,bytes_out\n"
                "x,tcp4 127.0.0.1:8080<->127.0.0.2:50000,,,1500,700\n"
                "x,tcp6 ::1.8443<->*.*,,,20,10\n";
            output.wait_status = 0;
            return 0;
        };
    }

    void install_host() {
        sys.on_nanosleep = [this](const timespec* request, timespec*) {
            sockets.now_ns += static_cast<std::uint64_t>(request->tv_sec) * 1'000'000'000u +
                              static_cast<std::uint64_t>(request->tv_nsec);
            return 0;
        };
        sys.on_mach_timebase_info = [](d::mach_timebase_info_data_t* info) {
            *info = {kNumer, kDenom};
            return d::KERN_SUCCESS;
        };
        sys.on_host_statistics64 = [this](int flavor, d::integer_t* info, d::natural_t* count) {
            if (flavor != d::HOST_VM_INFO64) return d::kern_return_t{4};  // KERN_INVALID_ARGUMENT
            *count = std::min(*count, d::HOST_VM_INFO64_COUNT);
            std::memcpy(info, &vm, *count * sizeof(d::integer_t));
            return d::KERN_SUCCESS;
        };
        sys.on_host_processor_info = [this](int, d::natural_t* cpus, d::integer_t** info,
                                            d::natural_t* count) {
            const auto sample = static_cast<d::integer_t>(sockets.now_ns / kTick);
            const void* ticks = hand_out({});
            objects_.back().text.assign(8 * sizeof(d::integer_t), '\0');
            d::integer_t values[8] = {10 * sample, 5 * sample, 80 * sample, sample,
                                      30 * sample, 0,          70 * sample, 0};
            std::memcpy(objects_.back().text.data(), values, sizeof values);
            *info = reinterpret_cast<d::integer_t*>(objects_.back().text.data());
            handed_arrays_[*info] = ticks;
            *cpus = 2;
            *count = 8;
            return d::KERN_SUCCESS;
        };
        sys.on_vm_deallocate = [this](void* address, std::size_t size) {
            auto it = handed_arrays_.find(address);
            if (it == handed_arrays_.end() || size != 8 * sizeof(d::integer_t)) {
                bad_returns.emplace_back("vm_deallocate of memory not handed out whole");
                return 1;
            }
            take_back(it->second, "vm_deallocate");
            handed_arrays_.erase(it);
            return d::KERN_SUCCESS;
        };
        sys.on_sysctlbyname = [this](const char* name, void* old, std::size_t* len, const void*,
                                     std::size_t) {
            auto value = sysctls.find(name);
            if (value == sysctls.end()) return errno = ENOENT, -1;
            return answer_sized(value->second, old, len);
        };
    }

    void install_storage() {
        sys.on_getfsstat = [this](d::statfs* buffer, int size, int mode) {
            if (mode != d::kMntNowait) return errno = EINVAL, -1;  // no waiting on a file system
            if (buffer == nullptr) return static_cast<int>(mounts.size());
            const int filled = std::min(static_cast<int>(mounts.size()),
                                        size / static_cast<int>(sizeof(d::statfs)));
            std::copy_n(mounts.begin(), filled, buffer);
            return filled;
        };
        sys.on_opendir = [this](const char*) {
            next_entry_ = 0;
            return static_cast<d::DIR*>(const_cast<void*>(hand_out({})));
        };
        sys.on_readdir_r = [this](d::DIR*, d::dirent* entry, d::dirent** result) {
            if (next_entry_ == entries.size()) return 0;
            const std::string& name = entries[next_entry_++].name;
            *entry = {};
            entry->d_namlen = static_cast<std::uint16_t>(name.size());
            std::memcpy(entry->d_name, name.data(), name.size());
            *result = entry;
            return 0;
        };
        sys.on_dirfd = [](d::DIR*) { return 7; };
        sys.on_fstatat = [this](int fd, const char* name, d::stat* out, int flag) {
            auto entry = std::ranges::find(entries, std::string(name), &Entry::name);
            if (fd != 7 || entry == entries.end() || !entry->mode) return errno = ENOENT, -1;
            *out = {};
            out->st_mode = *entry->mode;
            out->st_size = entry->size;
            // A link followed is what it points to: here, a directory.
            if ((flag & d::kAtSymlinkNofollow) == 0 && *entry->mode == kLink) out->st_mode = kDir;
            return 0;
        };
        sys.on_closedir = [this](d::DIR* dir) { return take_back(dir, "closedir"), 0; };
    }

    void install_registry() {
        using Dict = d::CFMutableDictionaryRef;
        sys.on_IOServiceMatching = [this](const char* name) {
            if (std::string_view(name) != "IOBlockStorageDriver") return Dict{};
            return static_cast<Dict>(const_cast<void*>(hand_out({})));
        };
        sys.on_IOServiceGetMatchingServices = [this](d::mach_port_t, d::CFDictionaryRef matching,
                                                     d::io_iterator_t* iterator) {
            take_back(matching, "IOServiceGetMatchingServices");
            *iterator = io_handle(100, hand_out({}));
            next_driver_ = 0;
            return d::KERN_SUCCESS;
        };
        sys.on_IOIteratorNext = [this](d::io_iterator_t) -> d::io_object_t {
            if (next_driver_ == drivers.size()) return 0;
            const Driver& driver = drivers[next_driver_++];
            return io_handle(100 + next_driver_, hand_out({"", 0, &driver}));
        };
        sys.on_IORegistryEntryCreateCFProperties = [this](d::io_registry_entry_t entry, Dict* out) {
            const Driver* driver = at(io_.at(entry)).driver;
            if (!driver->readable) return d::kern_return_t(0xe00002bc);  // kIOReturnError
            *out = static_cast<Dict>(const_cast<void*>(hand_out({"", 0, driver})));
            return d::KERN_SUCCESS;
        };
        sys.on_IOObjectRelease = [this](d::io_object_t object) {
            auto it = io_.find(object);
            if (it == io_.end()) return bad_returns.emplace_back("IOObjectRelease of no object"), 1;
            take_back(it->second, "IOObjectRelease");
            return d::KERN_SUCCESS;
        };
        sys.on_CFStringCreateWithCString = [this](const char* text, d::CFStringEncoding encoding) {
            if (encoding != d::kCFStringEncodingUTF8) return d::CFStringRef{};
            return static_cast<d::CFStringRef>(hand_out({text}));
        };
        sys.on_CFDictionaryGetValue = [this](d::CFDictionaryRef dict,
                                             const void* key) -> const void* {
            const Object& holder = at(dict);
            const std::optional<Statistics>& statistics = holder.driver->statistics;
            if (!holder.statistics) {
                if (at(key).text != "Statistics" || !statistics) return nullptr;
                return hand_out({"", 0, holder.driver, true}, false);
            }
            auto found = statistics->find(at(key).text);
            if (found == statistics->end()) return nullptr;
            return hand_out({"", found->second}, false);
        };
        sys.on_CFNumberGetValue = [](d::CFNumberRef number, d::CFNumberType type, void* value) {
            if (type != d::kCFNumberSInt64Type) return d::Boolean{0};
            *static_cast<std::int64_t*>(value) = at(number).value;
            return d::Boolean{1};
        };
        sys.on_CFRelease = [this](d::CFTypeRef object) { take_back(object, "CFRelease"); };
    }

    // Registry objects by their ports: the iterator is 100, the drivers 101, 102, ...
    d::io_object_t io_handle(std::size_t port, const void* object) {
        io_[static_cast<d::io_object_t>(port)] = object;
        return static_cast<d::io_object_t>(port);
    }
    bool known(int pid) const { return sockets.find(pid) != nullptr; }

    std::map<void*, const void*> handed_arrays_;
    std::map<d::io_object_t, const void*> io_;
};

}  // namespace lumenstat::testing
