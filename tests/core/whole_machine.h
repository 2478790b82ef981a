// One healthy machine behind the fake, answering every call a query makes:
// four processes with arguments, memory and sockets, two CPUs whose ticks
// advance with every sample, memory counters, three mounts, a directory and
// a registry of three storage drivers. Where a query may take a figure from
// a second source when the first fails, both sources agree, so that only a
// made-up figure differs from the healthy answer. It counts every buffer,
// directory stream and IOKit or CoreFoundation object it hands out and takes
// back: `leaks()` names what is still out, or was handed back twice.
#pragma once

#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/socket_fake_machine.h"
#include "support/fake_system.h"

namespace lumenstat::testing {

struct WholeMachine {
    static constexpr std::uint64_t kPage = 16384;
    static constexpr std::uint64_t kResident = 700 * kPage;
    static constexpr std::uint32_t kNumer = 125, kDenom = 3;  // Mach units to nanoseconds
    // Every process has used a quarter of the time on the clock, every CPU
    // advances its ticks with it.
    static constexpr std::uint64_t kTick = 10'000'000;

    FakeSystem sys;
    FakeMachine sockets;
    std::vector<d::kinfo_proc> table;
    std::map<int, std::string> argument_areas;
    std::multiset<const void*> out;  // handed out, not yet taken back
    std::vector<std::string> bad_returns;

    WholeMachine() {
        add_process(1, 1, "launchd", {"/sbin/launchd"});
        add_process(300, 1, "zsh", {"-zsh", "-l"});
        add_process(301, 300, "python3", {"python3", "serve.py", "--port=8080"});
        add_process(302, 301, "sleep", {"sleep", "60"});
        sockets.processes = {
            {1, {file_fd(0)}},
            {300, {file_fd(0), socket_fd(3, udp(d::DARWIN_AF_INET6, 5353))}},
            {301,
             {listener(3, 8080), socket_fd(4, tcp(d::DARWIN_AF_INET, 8080, 50000, 4)), file_fd(5),
              listener(6, 8443, d::DARWIN_AF_INET6)}},
            {302, {}},
        };
        for (FakeProcess& process : sockets.processes) {
            for (FakeDescriptor& fd : process.fds) {
                if (!fd.info) continue;
                fd.info->psi.soi_rcv.sbi_cc = 10u * fd.fd;
                fd.info->psi.soi_rcv.sbi_hiwat = 65536;
                fd.info->psi.soi_snd.sbi_cc = 20u * fd.fd;
                fd.info->psi.soi_snd.sbi_hiwat = 131072;
            }
        }
        sockets.install(sys);
        install_processes();
        install_host();
        install_storage();
        install_registry();
    }

    std::vector<std::string> leaks() const {
        std::vector<std::string> found = bad_returns;
        if (!out.empty()) found.push_back(std::to_string(out.size()) + " objects not released");
        return found;
    }

private:
    struct Object {
        enum Kind {
            buffer,
            directory,
            matching,
            iterator,
            driver,
            properties,
            statistics,
            key,
            number
        };
        Kind kind;
        std::string text;
        std::int64_t value = 0;
    };
    std::deque<Object> objects_;
    std::vector<std::string> entries_ = {".", "..", "b.txt", "A.txt", "zdir", "link"};
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
        argument_areas[pid] = area + std::string(5, '\0');
    }

    void install_processes() {
        sys.on_sysctl = [this](const int* name, unsigned length, void* old, std::size_t* len,
                               const void*, std::size_t) {
            if (length == 2 && name[0] == d::CTL_HW && name[1] == d::HW_MEMSIZE) {
                const std::uint64_t total = 16ull << 30;
                return answer_sized({reinterpret_cast<const char*>(&total), 8}, old, len);
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
        sys.on_sysconf = [](int name) { return name == d::SC_PAGESIZE ? long{kPage} : -1L; };
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
        auto sockets_pidinfo = sys.on_proc_pidinfo;
        sys.on_proc_pidinfo = [this, sockets_pidinfo](int pid, int flavor, std::uint64_t arg,
                                                      void* out, int size) {
            if (!known(pid)) return errno = ESRCH, 0;
            d::proc_taskallinfo all{};
            if (flavor == d::PROC_PIDTASKALLINFO) {
                sockets_pidinfo(pid, flavor, arg, &all, sizeof all);  // the descriptor count
            } else if (flavor != d::PROC_PIDTASKINFO) {
                return sockets_pidinfo(pid, flavor, arg, out, size);
            }
            all.ptinfo.pti_resident_size = kResident;
            all.ptinfo.pti_total_user = sockets.now_ns / 4 * kDenom / kNumer;
            const auto length = flavor == d::PROC_PIDTASKINFO ? sizeof all.ptinfo : sizeof all;
            if (size < static_cast<int>(length)) return errno = EINVAL, 0;
            std::memcpy(out, flavor == d::PROC_PIDTASKINFO ? static_cast<void*>(&all.ptinfo) : &all,
                        length);
            return static_cast<int>(length);
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
        sys.on_host_statistics64 = [](int, d::integer_t* info, d::natural_t* count) {
            d::vm_statistics64 vm{};
            vm.free_count = 100'000;
            vm.inactive_count = 200'000;
            vm.purgeable_count = 3'000;
            *count = std::min(*count, d::HOST_VM_INFO64_COUNT);
            std::memcpy(info, &vm, *count * sizeof(d::integer_t));
            return d::KERN_SUCCESS;
        };
        sys.on_host_processor_info = [this](int, d::natural_t* cpus, d::integer_t** info,
                                            d::natural_t* count) {
            const auto sample = static_cast<d::integer_t>(sockets.now_ns / kTick);
            auto* ticks =
                static_cast<d::integer_t*>(const_cast<void*>(hand_out({Object::buffer, ""})));
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
                bad_returns.push_back("vm_deallocate of memory not handed out whole");
                return 1;
            }
            take_back(it->second, "vm_deallocate");
            handed_arrays_.erase(it);
            return d::KERN_SUCCESS;
        };
        sys.on_sysctlbyname = [](const char* name, void* old, std::size_t* len, const void*,
                                 std::size_t) {
            static const std::map<std::string, std::string, std::less<>> values = {
                {"hw.logicalcpu", std::string("\x02\0\0\0", 4)},
                {"hw.physicalcpu", std::string("\x02\0\0\0", 4)},
                {"machdep.cpu.brand_string", std::string("Apple M2\0", 9)},
                {"hw.model", std::string("Apple M2\0", 9)},  // agrees with the brand
                {"hw.cpufrequency", std::string("\0\x5e\xd0\xb2\0\0\0\0", 8)},  // 3 GHz
            };
            auto value = values.find(name);
            if (value == values.end()) return errno = ENOENT, -1;
            return answer_sized(value->second, old, len);
        };
    }

    void install_storage() {
        sys.on_getfsstat = [](d::statfs* buffer, int size, int) {
            const char* mounts[][3] = {{"/dev/disk3s1", "/", "apfs"},
                                       {"devfs", "/dev", "devfs"},
                                       {"/dev/disk3s5", "/System/Volumes/Data", "apfs"}};
            if (buffer == nullptr) return 3;
            const int filled = std::min(3, size / static_cast<int>(sizeof(d::statfs)));
            for (int i = 0; i < filled; ++i) {
                buffer[i] = {};
                std::strcpy(buffer[i].f_mntfromname, mounts[i][0]);
                std::strcpy(buffer[i].f_mntonname, mounts[i][1]);
                std::strcpy(buffer[i].f_fstypename, mounts[i][2]);
                buffer[i].f_bsize = 4096;
                buffer[i].f_blocks = 1000u * (i + 1);
                buffer[i].f_bfree = 400;
                buffer[i].f_bavail = 300;
            }
            return filled;
        };
        sys.on_opendir = [this](const char*) {
            next_entry_ = 0;
            return static_cast<d::DIR*>(const_cast<void*>(hand_out({Object::directory, ""})));
        };
        sys.on_readdir_r = [this](d::DIR*, d::dirent* entry, d::dirent** result) {
            if (next_entry_ == entries_.size()) return *result = nullptr, 0;
            const std::string& name = entries_[next_entry_++];
            *entry = {};
            entry->d_namlen = static_cast<std::uint16_t>(name.size());
            std::memcpy(entry->d_name, name.data(), name.size());
            *result = entry;
            return 0;
        };
        sys.on_dirfd = [](d::DIR*) { return 7; };
        sys.on_fstatat = [](int, const char* name, d::stat* out, int) {
            *out = {};
            out->st_mode = name[0] == 'z' ? d::kIfdir : 0100644;
            out->st_size = static_cast<std::int64_t>(std::strlen(name)) * 100;
            return 0;
        };
        sys.on_closedir = [this](d::DIR* dir) { return take_back(dir, "closedir"), 0; };
    }

    void install_registry() {
        using Dict = d::CFMutableDictionaryRef;
        sys.on_IOServiceMatching = [this](const char*) {
            return static_cast<Dict>(const_cast<void*>(hand_out({Object::matching, ""})));
        };
        sys.on_IOServiceGetMatchingServices = [this](d::mach_port_t, d::CFDictionaryRef matching,
                                                     d::io_iterator_t* iterator) {
            take_back(matching, "IOServiceGetMatchingServices");
            *iterator = io_handle(100, hand_out({Object::iterator, ""}));
            next_driver_ = 0;
            return d::KERN_SUCCESS;
        };
        sys.on_IOIteratorNext = [this](d::io_iterator_t) -> d::io_object_t {
            if (next_driver_ == 3) return 0;
            const auto driver = static_cast<std::int64_t>(next_driver_++);
            return io_handle(101 + driver, hand_out({Object::driver, "", driver}));
        };
        sys.on_IORegistryEntryCreateCFProperties = [this](d::io_registry_entry_t entry, Dict* out) {
            *out = static_cast<Dict>(
                const_cast<void*>(hand_out({Object::properties, "", at(io_.at(entry)).value})));
            return d::KERN_SUCCESS;
        };
        sys.on_IOObjectRelease = [this](d::io_object_t object) {
            auto it = io_.find(object);
            if (it == io_.end()) return bad_returns.push_back("IOObjectRelease of no object"), 1;
            take_back(it->second, "IOObjectRelease");
            return d::KERN_SUCCESS;
        };
        sys.on_CFStringCreateWithCString = [this](const char* text, d::CFStringEncoding) {
            return static_cast<d::CFStringRef>(hand_out({Object::key, text}));
        };
        sys.on_CFDictionaryGetValue = [this](d::CFDictionaryRef dict,
                                             const void* key) -> const void* {
            const Object& holder = at(dict);
            const std::int64_t driver = holder.value;  // the second one has moved nothing
            if (holder.kind == Object::properties) {
                if (at(key).text != "Statistics") return nullptr;
                return hand_out({Object::statistics, "", driver}, false);
            }
            static const std::vector<std::string> keys = {
                "Bytes (Read)",       "Bytes (Write)",     "Operations (Read)",
                "Operations (Write)", "Total Time (Read)", "Total Time (Write)"};
            auto found = std::find(keys.begin(), keys.end(), at(key).text);
            if (found == keys.end()) return nullptr;
            const std::int64_t n = driver == 1 ? 0 : (driver + 1) * 1000 + (found - keys.begin());
            return hand_out({Object::number, "", n}, false);
        };
        sys.on_CFNumberGetValue = [](d::CFNumberRef number, d::CFNumberType, void* value) {
            *static_cast<std::int64_t*>(value) = at(number).value;
            return d::Boolean{1};
        };
        sys.on_CFRelease = [this](d::CFTypeRef object) { take_back(object, "CFRelease"); };
    }

    // Registry objects by their ports: the iterator is 100, the drivers 101, 102, 103.
    d::io_object_t io_handle(d::io_object_t port, const void* object) {
        io_[port] = object;
        return port;
    }
    bool known(int pid) const {
        return std::any_of(table.begin(), table.end(),
                           [&](const auto& e) { return e.p_pid == pid; });
    }

    std::map<void*, const void*> handed_arrays_;
    std::map<d::io_object_t, const void*> io_;
};

}  // namespace lumenstat::testing
