#!/usr/bin/python3
"""Plants realistic faults in the sources one at a time and records which the suite catches.

Each fault replaces one exact text (found exactly once in its file) with a faulty one. A run:
an incremental build of build/planted (Release, tests and module), then ctest, stopping at the
first failure; when ctest passes, pytest on tests/python with the module of build/planted first
on the path. The file is restored after each run, also on Ctrl-C. A baseline run with no fault
comes first and must pass whole, or no fault run means anything.

    python3 scripts/planted_faults.py [--list] [--subject S ...] [--only ID ...]

Prints "planted: ID: caught (TEST)", "planted: ID: missed" or "planted: ID: error (...)" per
fault, ends with "planted faults: N of M caught", and writes the table to
build/planted-faults.tsv. Standard library only. Environment: LUMENSTAT_VENV (default .venv).
"""

import argparse
import os
import re
import signal
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "planted"
TABLE = ROOT / "build" / "planted-faults.tsv"
VENV = Path(os.environ.get("LUMENSTAT_VENV", ROOT / ".venv"))
# The main job's set-up check: with a planted fault it rebuilds and reinstalls the venv's
# package, which costs more than the rest of a run, and checks the set-up, not the fault.
PYTEST_SECONDS = 1200  # a fault that hangs a Python test is caught when this runs out
SETUP_BOOKKEEPING_TEST = ("tests/python/test_report.py::"
                          "test_main_job_prints_the_document_alone_and_installs_only_what_changed")


@dataclass(frozen=True)
class Fault:
    id: str
    subject: str
    file: str
    old: str
    new: str
    breaks: str


FAULTS = [
    # --- process table and argument areas
    Fault("process-status-map", "process", "src/process/process_table.cpp",
          "{Unknown, Idle, Running, Sleeping, Stopped, Zombie}",
          "{Unknown, Idle, Running, Sleeping, Zombie, Stopped}",
          "a stopped process shows as a zombie and a zombie as stopped"),
    Fault("process-ppid-field", "process", "src/process/process_table.cpp",
          "return static_cast<std::uint32_t>(entries_[i].e_ppid);",
          "return static_cast<std::uint32_t>(entries_[i].p_pid);",
          "every process is its own parent"),
    Fault("process-stat-state", "process", "src/os/linux/process/process_stat.cpp",
          "        case 'D':\n            return darwin::SSLEEP;",
          "            return darwin::SSLEEP;\n        case 'D':\n            return darwin::SRUN;",
          "a process in uninterruptible sleep shows as running"),
    Fault("argument-final-nul", "process", "src/process/argument_area.cpp",
          "area.size() - pos);",
          "area.size() - pos - (pos + 1 < area.size()));",
          "the area's last byte is not searched for a NUL: an argument ending there keeps it"),
    Fault("scope-outermost-kept", "process", "src/os/linux/query_scope.cpp",
          "    if (stack.innermost && stack.innermost->depth == stack.depth) {",
          "    if (stack.innermost && stack.innermost->depth == stack.depth && stack.depth > 1) {",
          "the outermost query scope keeps its readings after it ends"),
    # --- sockets
    Fault("socket-kernel-state", "socket", "src/socket/values.cpp",
          "SocketState::FinWait1,    SocketState::Closing,",
          "SocketState::Closing,     SocketState::FinWait1,",
          "Darwin's FIN_WAIT_1 and CLOSING swap"),
    Fault("socket-linux-state", "socket", "src/os/linux/socket/tcp_states.h",
          "d::TCPS_CLOSE_WAIT,    // 8 CLOSE_WAIT\n        d::TCPS_LAST_ACK, ",
          "d::TCPS_LAST_ACK,      // 8 CLOSE_WAIT\n        d::TCPS_CLOSE_WAIT,",
          "Linux's CLOSE_WAIT and LAST_ACK swap"),
    Fault("socket-port-order", "socket", "src/socket/values.cpp",
          "return static_cast<std::uint16_t>((raw >> 8) | (raw << 8));",
          "return raw;",
          "ports are read in the wrong byte order"),
    Fault("socket-queue-fields", "socket", "src/socket/queues.cpp",
          "record.recv_queue_bytes = info.soi_rcv.sbi_cc;",
          "record.recv_queue_bytes = info.soi_snd.sbi_cc;",
          "the receive queue shows the send queue's bytes"),
    Fault("socket-netlink-buffers", "socket", "src/os/linux/socket/netlink_sock_diag.cpp",
          "read_u32(data.data() + SK_MEMINFO_RCVBUF * sizeof(std::uint32_t));",
          "read_u32(data.data() + SK_MEMINFO_SNDBUF * sizeof(std::uint32_t));",
          "the receive buffer size is the send buffer's"),
    Fault("socket-procnet-port", "socket", "src/os/linux/socket/socket_proc_net.cpp",
          "port = htons(static_cast<std::uint16_t>(host_port));",
          "port = static_cast<std::uint16_t>(host_port);",
          "/proc/net ports keep the host's byte order"),
    Fault("socket-procnet-queues", "socket", "src/os/linux/socket/socket_proc_net.cpp",
          "!take_hex_number(line, send_queue) || !take_char(line, ':') ||\n"
          "        !take_hex_number(line, recv_queue)",
          "!take_hex_number(line, recv_queue) || !take_char(line, ':') ||\n"
          "        !take_hex_number(line, send_queue)",
          "/proc/net's tx and rx queues swap"),
    Fault("socket-ipv6-zero-run", "socket", "src/socket/address_text.cpp",
          "int best_length = 1;", "int best_length = 0;",
          "a single zero group of an IPv6 address is written as ::"),
    Fault("socket-walk-kept", "socket", "src/os/linux/socket/socket_walk.cpp",
          "    SocketTable table = read_kernel_sockets();\n    auto it = table.find(inode);",
          "    static SocketTable table = read_kernel_sockets();\n    auto it = table.find(inode);",
          "a socket table read with no scope open is kept for every later call"),
    Fault("traffic-first-match", "socket", "src/socket/traffic_table.cpp",
          "(!first || found->second < *first)", "(!first || found->second > *first)",
          "of two lines that match a socket, written in two endpoint forms, the last wins"),
    Fault("traffic-same-endpoints", "socket", "src/socket/traffic_table.cpp",
          "by_endpoints_.try_emplace(endpoints_key(description), at->second);",
          "by_endpoints_.insert_or_assign(endpoints_key(description), at->second);",
          "of two lines with the same endpoints the last wins, not the first"),
    Fault("traffic-count-fields", "socket", "src/socket/traffic_table.cpp",
          "TrafficCounts counts{parse_traffic_count(trim_white_space((*fields)[2])),\n"
          "                             parse_traffic_count(trim_white_space((*fields)[1]))};",
          "TrafficCounts counts{parse_traffic_count(trim_white_space((*fields)[1])),\n"
          "                             parse_traffic_count(trim_white_space((*fields)[2]))};",
          "bytes sent and received swap"),
    # --- storage
    Fault("mountinfo-final-escape", "storage", "src/os/linux/storage/mountinfo.cpp",
          "i + 3 < field.size()", "i + 4 < field.size()",
          "an escape that ends a mount-table field is not decoded"),
    Fault("mountinfo-type-source", "storage", "src/os/linux/storage/mountinfo.cpp",
          "    const auto type = next_field(line);\n    const auto source = next_field(line);",
          "    const auto source = next_field(line);\n    const auto type = next_field(line);",
          "a mount's type and source swap"),
    Fault("statfs-available", "storage", "src/disk/statfs_record.cpp",
          "saturating_multiply(entry.f_bavail, block_size)",
          "saturating_multiply(entry.f_bfree, block_size)",
          "available space counts the superuser's reserve"),
    Fault("block-time-unit", "storage", "src/os/linux/storage/block_stat.cpp",
          "counters.read_time_ns = saturating_multiply(field[3], 1'000'000);",
          "counters.read_time_ns = field[3];",
          "read time stays in milliseconds"),
    Fault("disk-io-numbering", "storage", "src/disk/disk_io.cpp",
          'stats->device = "disk" + std::to_string(produced++);',
          'stats->device = "disk" + std::to_string(++produced);',
          "drivers are numbered from disk1"),
    Fault("list-dir-order", "storage", "src/disk/list_dir.cpp",
          "if (a.is_dir != b.is_dir) return a.is_dir;",
          "if (a.is_dir != b.is_dir) return b.is_dir;",
          "files are listed before directories"),
    # --- CPU
    Fault("cpu-iowait-dropped", "cpu", "src/os/linux/cpu/cpu_parse.cpp",
          "ticks[darwin::CPU_STATE_IDLE] = c[Idle] + c[Iowait];",
          "ticks[darwin::CPU_STATE_IDLE] = c[Idle];",
          "I/O wait is dropped from idle time"),
    Fault("cpu-usage-percent", "cpu", "src/cpu/cpu_usage.cpp",
          "static_cast<double>(delta_total) * 100.0;",
          "static_cast<double>(delta_total);",
          "CPU usage is a fraction, not a percentage"),
    Fault("cpu-frequency-unit", "cpu", "src/os/linux/cpu/cpu_parse.cpp",
          "std::uint64_t hz = mhz * 1000000;", "std::uint64_t hz = mhz * 1000;",
          "a frequency in MHz is read as kHz"),
    Fault("process-cpu-unit", "cpu", "src/process/process_cpu.cpp",
          "static_cast<double>(spent) / 1e9 / seconds * 100.0;",
          "static_cast<double>(spent) / 1e6 / seconds * 100.0;",
          "process CPU time is taken as microseconds"),
    # --- memory
    Fault("memory-used", "memory", "src/memory.cpp",
          "info.used = total >= info.available ? total - info.available : 0;",
          "info.used = total >= info.free ? total - info.free : 0;",
          "used memory counts reclaimable memory"),
    Fault("meminfo-unit", "memory", "src/os/linux/cpu/memory.cpp",
          "kib > UINT64_MAX / 1024 ? UINT64_MAX : kib * 1024;",
          "kib > UINT64_MAX / 1000 ? UINT64_MAX : kib * 1000;",
          "/proc/meminfo's kB are taken as 1000 bytes"),
    # --- trackers
    Fault("tracker-socket-key", "trackers", "src/process/tracker_sockets.cpp",
          "SocketKey key{connection.protocol, connection.local_addr, connection.remote_addr,",
          "SocketKey key{connection.protocol, connection.local_addr, std::nullopt,",
          "a listener's accepted connections collapse into one report"),
    Fault("tracker-socket-pid", "trackers", "src/process/tracker_sockets.cpp",
          "if (record.pid == pid()) kept.push_back(std::move(record));",
          "kept.push_back(std::move(record));",
          "other processes' sockets are reported"),
    # --- text and unicode
    Fault("utf8-overlong", "text", "src/text/utf8.cpp",
          "if (lead == 0xE0) low = 0xA0;", "if (lead == 0xE0) low = 0x80;",
          "overlong three-byte sequences are accepted"),
    Fault("upper-run-end", "text", "src/unicode/upper_case.cpp",
          "if (cp <= run.last && (cp - run.first) % run.stride == 0) {",
          "if (cp < run.last && (cp - run.first) % run.stride == 0) {",
          "the last code point of a case run is not upper-cased"),
    # --- the Python layer
    Fault("py-memory-fields", "py-abi", "py-abi/src/lib/result_objects.cpp",
          "memory.total, memory.available, memory.used,\n                         memory.free,",
          "memory.total, memory.available, memory.free,\n                         memory.used,",
          "PyMemoryInfo's used and free swap"),
    # --- the report, the exporter and the traffic tool
    Fault("report-human-bytes", "tools", "tools/report.py",
          "        value /= 1024\n", "        value /= 1000\n",
          "the report's KiB are thousands"),
    Fault("metrics-cpu-unit", "tools", "tools/lumenstat_serve/metrics.py",
          "getattr(times, mode) / CLOCK_TICKS_PER_SECOND)",
          "getattr(times, mode))",
          "CPU seconds are served as clock ticks"),
    Fault("nettop-count-fields", "tools", "tools/nettop/output_lines.cpp",
          "out.append(std::to_string(connection.bytes_received));",
          "out.append(std::to_string(connection.bytes_sent));",
          "the traffic tool writes bytes sent where received belong"),
]


class Interrupted(Exception):
    pass


def on_signal(signum, frame):
    raise Interrupted(f"signal {signum}")


def run(argv, log, env=None, timeout=None):
    """Runs argv with its output appended to log; returns (status, output), status None when it
    ran out of time. The command runs in a process group of its own, which is ended whole when
    it runs out of time or this script is interrupted."""
    started = time.monotonic()
    process = subprocess.Popen(argv, cwd=ROOT, env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True, errors="replace",
                               start_new_session=True)
    try:
        output, _ = process.communicate(timeout=timeout)
        status = process.returncode
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        output, _ = process.communicate()
        status = None
    except BaseException:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        raise
    with open(log, "a") as f:
        f.write(f"$ {' '.join(map(str, argv))}  ({time.monotonic() - started:.0f} s)\n{output}\n")
    return status, output


def python_path():
    """The module with its traffic tool (lumenstat.libexec/, built beside it), its stubs and the
    report's modules, as the wheel would install them."""
    modules = BUILD / "python-modules"
    modules.mkdir(parents=True, exist_ok=True)
    for link, source in [(BUILD / "lumenstat-stubs", "lumenstat-stubs"),
                         (modules / "lumenstat_report.py", "tools/report.py"),
                         (modules / "lumenstat_serve", "tools/lumenstat_serve")]:
        if not link.is_symlink():
            link.symlink_to(ROOT / source)
    return f"{BUILD}{os.pathsep}{modules}"


def configure(log):
    status, _ = run(["cmake", "-S", ROOT, "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release",
                     "-DLUMENSTAT_TESTS=ON", "-DLUMENSTAT_MODULE=ON",
                     f"-DPython3_EXECUTABLE={VENV / 'bin' / 'python'}"], log)
    return status == 0


def build(log):
    status, _ = run(["cmake", "--build", BUILD, "-j2"], log)
    return status == 0


def first_ctest_failure(output):
    for line in output.splitlines():
        found = re.match(r"\s*\d+/\d+ Test\s+#\d+: (\S+) .*\*\*\*(\w+)", line)
        if found:
            return found.group(1)
    found = re.search(r"^\s*\d+ - (\S+) \(", output, re.MULTILINE)
    return found.group(1) if found else "ctest"


def first_pytest_failure(output):
    found = re.search(r"^(?:FAILED|ERROR) (\S+)", output, re.MULTILINE)
    return found.group(1) if found else "pytest"


def run_suite(log):
    """None when the suite passes, else the name of the first test that failed."""
    # Without cost data ctest runs in the order of the build: the fake-machine tests first.
    (BUILD / "Testing" / "Temporary" / "CTestCostData.txt").unlink(missing_ok=True)
    status, output = run(["ctest", "--test-dir", BUILD, "-j2", "--stop-on-failure",
                          "--timeout", "300"], log)
    if status != 0:
        return first_ctest_failure(output)
    env = dict(os.environ, PYTHONPATH=python_path())
    status, output = run([VENV / "bin" / "python", "-m", "pytest", "tests/python", "-x", "-q",
                          "-p", "no:cacheprovider", "-rfE", "-m", "not slow and not real",
                          "--deselect", SETUP_BOOKKEEPING_TEST], log, env=env,
                         timeout=PYTEST_SECONDS)
    if status is None:
        return "pytest (hung)"
    if status not in (0, 5):
        return first_pytest_failure(output)
    return None


def text_errors(faults):
    errors = []
    for fault in faults:
        path = ROOT / fault.file
        if not path.exists():
            errors.append(f"{fault.id}: {fault.file} does not exist")
            continue
        count = path.read_text().count(fault.old)
        if count != 1:
            errors.append(f"{fault.id}: its old text occurs {count} times in {fault.file}")
    return errors


def uncommitted(faults):
    files = sorted({fault.file for fault in faults})
    done = subprocess.run(["git", "status", "--porcelain", "--", *files], cwd=ROOT,
                          stdout=subprocess.PIPE, text=True, check=True)
    return done.stdout.strip()


def plant_and_run(fault, log):
    """(result, caught_by) for one fault; the file is restored whatever happens."""
    path = ROOT / fault.file
    original = path.read_bytes()
    try:
        path.write_text(original.decode().replace(fault.old, fault.new, 1))
        if not build(log):
            return "error", "build failed: the fault's text is wrong"
        failed = run_suite(log)
        return ("caught", failed) if failed else ("missed", "")
    finally:
        path.write_bytes(original)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--list", action="store_true", help="list the faults and stop")
    parser.add_argument("--subject", nargs="+", default=[], help="only faults of these subjects")
    parser.add_argument("--only", nargs="+", default=[], help="only the faults with these ids")
    args = parser.parse_args()

    faults = [f for f in FAULTS
              if (not args.subject or f.subject in args.subject)
              and (not args.only or f.id in args.only)]
    unknown = set(args.only) - {f.id for f in FAULTS}
    if unknown:
        sys.exit(f"planted faults: unknown ids: {' '.join(sorted(unknown))}")
    if args.list:
        for f in faults:
            print(f"{f.id}\t{f.subject}\t{f.file}\t{f.breaks}")
        return 0
    errors = text_errors(faults)
    if errors:
        sys.exit("planted faults: texts that cannot be planted:\n  " + "\n  ".join(errors))
    dirty = uncommitted(faults)
    if dirty:
        sys.exit(f"planted faults: files to plant into have uncommitted changes:\n{dirty}")

    signal.signal(signal.SIGTERM, on_signal)
    BUILD.mkdir(parents=True, exist_ok=True)
    log = BUILD / "planted-faults.log"
    log.write_text("")
    started = time.monotonic()
    if not configure(log) or not build(log):
        sys.exit(f"planted faults: the build without a fault failed (see {log})")
    failed = run_suite(log)
    if failed:
        sys.exit(f"planted faults: the suite without a fault fails ({failed}; see {log})")
    print(f"planted: baseline passed ({time.monotonic() - started:.0f} s)", flush=True)

    rows = []
    try:
        for fault in faults:
            fault_started = time.monotonic()
            result, caught_by = plant_and_run(fault, log)
            seconds = time.monotonic() - fault_started
            shown = {"caught": f"caught ({caught_by})", "error": f"error ({caught_by})"}
            print(f"planted: {fault.id}: {shown.get(result, result)}", flush=True)
            rows.append((fault, result, caught_by, seconds))
    except (KeyboardInterrupt, Interrupted):
        print("planted faults: interrupted; the files are restored", file=sys.stderr)
        return 130
    finally:
        with open(TABLE, "w") as f:
            f.write("id\tsubject\tfile\tresult\tcaught_by\tseconds\tbreaks\n")
            for fault, result, caught_by, seconds in rows:
                f.write(f"{fault.id}\t{fault.subject}\t{fault.file}\t{result}\t{caught_by}\t"
                        f"{seconds:.0f}\t{fault.breaks}\n")
        build(log)  # leave the tree built from the restored sources
    caught = sum(result == "caught" for _, result, _, _ in rows)
    print(f"planted faults: {caught} of {len(rows)} caught "
          f"({time.monotonic() - started:.0f} s; table in {TABLE.relative_to(ROOT)})")
    return 0 if all(result != "error" for _, result, _, _ in rows) else 1


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (KeyboardInterrupt, Interrupted):
        sys.exit("planted faults: interrupted")
