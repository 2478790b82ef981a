# The failure sweep over the Linux personality: a few queries of every subject run with the
# preloaded failing C library (tests/faults/failing_libc.cpp), once to count the calls the module
# makes to each entry, then once per chosen call N and per failure that entry can meet, with call N
# failing. Each run must end in the documented exception (exact text) or in an answer that the
# healthy one allows, must leave no descriptor open and must leave the next call answering as
# before. Ends with one line: queries, calls and failure kinds tried, and what failed.
#
#     LD_PRELOAD=build/tests/libfailing_libc.so .venv/bin/python tests/faults/linux_sweep.py SECONDS
#
# A worker process runs the sweep; when a run kills it (an abort, a crash), the parent records the
# run and starts a new worker after it. Runs are spread over each entry's calls so that the whole
# sweep keeps to SECONDS.

import ctypes
import errno as E
import faulthandler
import itertools
import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import time

RUN_PATIENCE = 20  # seconds
# entry: the errno values it can meet, and whether it can be cut short
ENTRIES = {entry: ([getattr(E, code) for code in codes.split() if code != "short"],
                   codes.endswith("short")) for entry, codes in (row.split(":") for row in [
    "open: EACCES EINTR EIO EMFILE ENFILE ENOENT ENOMEM", "read: EINTR EIO ENOMEM short",
    "readlink: EACCES EIO ENOENT ENOMEM", "readdir: EIO EBADF", "getdents64: EIO EBADF ENOENT",
    "fstatat: EACCES EIO ENOENT ENOMEM EOVERFLOW", "statx: EACCES ENOENT ENOMEM ENOSYS",
    "fstatfs: EINTR EIO ENOMEM ENOSYS", "socket: EACCES EMFILE ENFILE ENOBUFS EPROTONOSUPPORT",
    "setsockopt: ENOMEM ENOPROTOOPT", "sendto: EINTR ENOBUFS ENOMEM ECONNREFUSED",
    "recv: EINTR ENOBUFS ENOMEM short", "process_vm_readv: EFAULT ENOMEM EPERM ESRCH short",
    "syscall: EMFILE ENOMEM EPERM ESRCH", "pipe2: EMFILE ENFILE", "clone: EAGAIN ENOMEM",
    "poll: EINTR ENOMEM", "waitpid: EINTR ECHILD", "pthread_create: EAGAIN EPERM",
    "nanosleep: EINTR", "sysconf: EINVAL", "opendir: EACCES EMFILE ENFILE ENOENT ENOMEM",
    "access: EACCES EIO ENOENT", "calloc: ENOMEM", "new: ENOMEM"])}


# (errno, cut short) pairs; a call cut short has errno 0.
def kinds(entry):
    return [(code, False) for code in ENTRIES[entry][0]] + [(0, True)] * ENTRIES[entry][1]


def kind_name(code, shortened):
    return "short" if shortened else E.errorcode.get(code, str(code))


# --- the queries -------------------------------------------------------------------------------
# Each: name, call, the exception texts it documents ({errno}: the failing errno, {os_error}: its
# OS error text; a regex otherwise), a check of an answer against the healthy one given the
# failing call's path and errno (a text saying what is wrong, or None), and how many calls of
# each entry to try.

ME = os.getpid()
BAD_ALLOC = r"FatalError: {fn}: std::bad_alloc"
TABLE = [r'RuntimeError: SysCall\("sysctl KERN_PROC_ALL size failed"\)',
         r'RuntimeError: SysCall\("sysctl KERN_PROC_ALL failed \(errno {errno}\)"\)',
         r'RuntimeError: SysCall\("sysctl KERN_PROC_ALL buffer allocation failed"\)']
SPAWN = [r"FatalError: failed to spawn thread: {os_error}"]
# The errno values the personality gives for a file of a process, as Darwin would: a file that
# vanished is a process that is gone, a refusal is EPERM.
DARWIN_ERRNO = {E.ENOENT: E.ESRCH, E.EACCES: E.EPERM}


# The caller's own process: there, or gone only when its files said so; a process whose
# stat line cannot be read is listed with its pid alone.
def own_process(got, healthy, path, code):
    if got is None:
        return None if code in (E.ENOENT, E.ESRCH) else "no record of the calling process"
    if got.pid != healthy.pid or got.name not in (healthy.name, ""):
        return f"made-up record {got.pid, got.name}"
    return None if got.command in (healthy.command, "") else f"made-up command {got.command!r}"


# Processes come and go: the count is compared with the machine's own now.
def count_near(got, *_):
    now = sum(name.isdigit() for name in os.listdir("/proc"))
    return None if got >= now * 9 // 10 else f"{got} processes of {now}"


# The named fields as healthy, or else as their fallback, when they have one.
def same(*names, fallbacks=None):
    def check(got, healthy, *_):
        for name in names:
            allowed = getattr(healthy, name), (fallbacks or {}).get(name, getattr(healthy, name))
            if getattr(got, name) not in allowed:
                return f"made-up {name} {getattr(got, name)!r} for {getattr(healthy, name)!r}"
        return None
    return check


# A listing that may lack the one item whose call failed: one whose file (the failing
# call's path) matches `item_path`, not a file of the whole listing.
def at_most_one_lost(key, item_path=".*"):
    def check(got, healthy, path, code):
        got_keys, healthy_keys = [key(x) for x in got], [key(x) for x in healthy]
        if any(k not in healthy_keys for k in got_keys):
            return f"unexpected {got_keys} for {healthy_keys}"
        lost = len(healthy_keys) - len(got_keys)
        if lost > 1 or (lost == 1 and not re.fullmatch(item_path, path)):
            return f"{len(got_keys)} of {len(healthy_keys)} after a failure on {path!r}"
        return None
    return check


# The queries and what they run on: a listener, a child, a directory.
class Queries:

    def __init__(self, lumenstat):
        self.m = lumenstat
        self.server = socket.create_server(("127.0.0.1", 0))
        self.listener = "127.0.0.1:%d" % self.server.getsockname()[1]
        # Killed with the worker, whatever ends it (PR_SET_PDEATHSIG), and holding none of its pipes.
        self.child = subprocess.Popen(["sleep", "600"], stdin=subprocess.DEVNULL,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                      preexec_fn=lambda: ctypes.CDLL(None).prctl(1, 9))
        self.dir = tempfile.TemporaryDirectory(prefix="lumenstat-sweep-")
        for name in ("a.txt", "b.txt"):
            open(os.path.join(self.dir.name, name), "w").close()
        os.mkdir(os.path.join(self.dir.name, "sub"))
        self.stats_errno = None  # the errno the traffic query's diagnostic line named

    def close(self):
        self.child.kill()
        self.child.wait()
        self.dir.cleanup()

    def table(self):
        m, d = self.m, self.dir.name
        cpu_info = same("physical_cores", "logical_cores", "model_name", "vendor", "frequency_mhz",
                        fallbacks={"model_name": "", "vendor": "Unknown", "frequency_mhz": 0})
        some_or_none = lambda got, healthy, *_: (  # noqa: E731
            None if not got or (got.pid, got.local_addr) == (healthy.pid, healthy.local_addr)
            else f"made-up {got} for {healthy}")
        return [
            ("get_process_by_pid", lambda: m.get_process_by_pid(ME), TABLE, own_process, 12),
            ("get_process_count", m.get_process_count, TABLE, count_near, 3),
            ("get_process_io", lambda: m.get_process_io(ME),
             [rf"RuntimeError: ProcessNotFound\({ME}\)"], same("pid"), 12),
            ("py_get_cpu_info", m.py_get_cpu_info,
             [r'FatalError: py_get_cpu_info failed: SysCall\("sysctlbyname hw\.(logical|physical)cpu failed"\)'],
             cpu_info, 16),
            ("py_get_cpu_times", m.py_get_cpu_times,
             [r'RuntimeError: SysCall\("host_processor_info failed with error -?\d+"\)'],
             lambda got, healthy, *_: None if len(got) == len(healthy) else "CPUs lost", 16),
            ("py_get_memory_info", m.py_get_memory_info,
             [r'FatalError: py_get_memory_info failed: SysCall\("(sysctl HW_MEMSIZE failed|host_statistics64 failed with error -?\d+|sysconf _SC_PAGESIZE failed)"\)'],
             same("total"), 16),
            ("py_get_disks", m.py_get_disks, [r'RuntimeError: SysCall\("getfsstat failed"\)'],
             at_most_one_lost(lambda d: d.mount_point, r"/(?!proc/).*"), 12),
            ("py_get_disk_io_stats", m.py_get_disk_io_stats,
             [r'RuntimeError: SysCall\("IOServiceGetMatchingServices failed: -?\d+"\)'],
             at_most_one_lost(lambda d: (d.reads > 0, d.writes > 0), r"/sys/block/[^/]+/.*"), 12),
            ("list_dir", lambda: m.list_dir(d), [rf"OSError: list_dir\({re.escape(d)}\): {{os_error}}"],
             at_most_one_lost(lambda e: e.name, r"[^/]+"), 16),
            ("get_process_socket_queues", lambda: m.get_process_socket_queues(ME), [],
             at_most_one_lost(lambda q: (q.fd, q.local_addr)), 12),
            ("get_connection_by_local_addr", lambda: m.get_connection_by_local_addr(self.listener),
             [], some_or_none, 4),
            ("get_process_socket_stats", self.socket_stats, [],
             at_most_one_lost(lambda s: (s.fd, s.local_addr)), 8),
            ("start_tracking_queues", lambda: self.one_poll(m.start_tracking_queues), SPAWN,
             lambda *_: None, 6),
            ("start_tracking_children", lambda: self.one_poll(m.start_tracking_children), SPAWN,
             lambda *_: None, 3),
            ("PySystemSummary", lambda: m.PySystemSummary(0),
             [r'FatalError: PySystemSummary failed: SysCall\(".*"\)'],
             lambda got, *_: count_near(got.process_count), 2),
        ]

    # The query, noting the errno its diagnostic line names (it must be the failing one's).
    def socket_stats(self):
        with tempfile.TemporaryFile() as err:
            saved = os.dup(2)
            os.dup2(err.fileno(), 2)
            try:
                stats = self.m.get_process_socket_stats(ME)
            finally:
                os.dup2(saved, 2)
                os.close(saved)
            err.seek(0)
            found = re.search(rb"errno = (\d+)", err.read())
        self.stats_errno = int(found.group(1)) if found else None
        return stats

    # Starts a tracker, lets it poll once (its sleep waits at the gate), stops it, and
    # waits for its thread to end. The reports of that poll.
    def one_poll(self, start):
        reports, threads = [], lambda: len(os.listdir("/proc/self/task"))
        lib.lfi_gate(1)
        before = threads()
        tracker = start(ME, reports.append)
        deadline = time.monotonic() + 5
        while lib.lfi_gate(-1) == 0 and time.monotonic() < deadline:
            time.sleep(0.001)
        tracker.stop()
        lib.lfi_gate(0)
        while threads() > before and time.monotonic() < deadline:
            time.sleep(0.001)
        if threads() > before:
            raise AssertionError("the tracker's thread did not end")
        return reports


lib = None


def outcome(call):
    try:
        return call(), None
    except BaseException as exc:  # FatalError derives from BaseException
        return None, f"{type(exc).__name__}: {exc}"


def judge(queries, name, patterns, check, healthy, got, error, code, path):
    if error is not None:
        text = os.strerror(code) + f" (os error {code})" if code else r".* \(os error \d+\)"
        for pattern in patterns + [BAD_ALLOC]:
            pattern = pattern.replace("{errno}", str(code) if code else r"\d+")
            pattern = pattern.replace("{os_error}", re.escape(text) if code else text)
            if re.fullmatch(pattern.replace("{fn}", re.escape(name)), error):
                return None
        return f"raised {error}"
    if name == "get_process_socket_stats" and code and queries.stats_errno not in (
            None, code, DARWIN_ERRNO.get(code)):
        return f"reported errno {queries.stats_errno} for {code}"
    return check(got, healthy, path, code)


# Which of `count` calls to fail, at most `samples`: the first and last third of them
# from each end, the rest evenly between.
def spread(count, samples):
    if count <= samples:
        return list(range(1, count + 1))
    ends = samples // 3
    picked = set(range(1, ends + 1)) | set(range(count - ends + 1, count + 1))
    between = samples - 2 * ends
    picked |= {ends + 1 + (count - 2 * ends - 1) * i // max(between - 1, 1) for i in range(between)}
    return sorted(picked)


# Every run in order, (query, entry, call, errno, shortened, focused), from one counting run
# of each query; and how many calls were counted.
def plan(queries):
    by_query, counted = {}, 0
    for name, call, patterns, check, samples in queries.table():
        lib.lfi_arm(None, 0, 0, 0, 0)
        outcome(call)
        lib.lfi_disarm()
        lib.lfi_advance_clock(2_000_000_000)
        runs = by_query.setdefault(name, [])
        for entry in ENTRIES:
            count = lib.lfi_count(entry.encode(), 0)
            counted += count
            # each chosen call meets the next kind in turn, so that a few runs try them all
            for i, n in enumerate(spread(count, samples)):
                runs.append((name, entry, n, *kinds(entry)[i % len(kinds(entry))], False))
            # and each call about the caller's own process meets every kind
            for n in range(1, lib.lfi_count(entry.encode(), 1) + 1):
                runs += [(name, entry, n, code, short, True) for code, short in kinds(entry)]
    # Interleaved, so that a sweep cut short by its time bound has tried every query.
    turns = itertools.zip_longest(*by_query.values())
    return [run for turn in turns for run in turn if run is not None], counted


def load_module():
    import lumenstat
    global lib
    lib = ctypes.CDLL(None)
    lib.lfi_subject.restype = ctypes.c_char_p
    if not hasattr(lib, "lfi_watch") or not lib.lfi_watch(b"/lumenstat.", f"/proc/{ME}/".encode()):
        sys.exit("the failing C library is not preloaded, or the module not found")
    return Queries(lumenstat)


def worker(plan_file, skip):
    queries = load_module()
    table = {q[0]: q for q in queries.table()}
    healthy = {name: outcome(q[1])[0] for name, q in table.items()}
    with open(plan_file) as f:
        runs = json.load(f)["runs"]
    descriptors = lambda: len(os.listdir("/proc/self/fd"))  # noqa: E731
    for number, (name, entry, n, code, short, focused) in enumerate(runs[skip:], skip):
        _, call, patterns, check, _ = table[name]
        print(json.dumps({"run": number}), flush=True)
        faulthandler.dump_traceback_later(RUN_PATIENCE, exit=True)  # a hung run ends the worker
        lib.lfi_advance_clock(2_000_000_000)  # past the socket cache's second
        before = descriptors()
        lib.lfi_arm(entry.encode(), n, code, int(short), int(focused))
        got, error = outcome(call)
        lib.lfi_disarm()
        path = lib.lfi_subject().decode(errors="replace")
        what = judge(queries, name, patterns, check, healthy[name], got, error, code, path)
        if what is None and descriptors() != before:
            what = f"{descriptors() - before} descriptors left open"
        if what is None:
            lib.lfi_advance_clock(2_000_000_000)
            again, error = outcome(call)
            what = error or check(again, healthy[name], "", 0)
            what = what and "the next call: " + what
        print(json.dumps({"done": number, "fault": what, "fired": lib.lfi_fired()}), flush=True)
    queries.close()


def main(seconds):
    start, next_run, fired, faults = time.monotonic(), 0, 0, []
    with tempfile.NamedTemporaryFile("w", suffix=".json") as plan_file:
        queries = load_module()  # the counting runs are healthy: they run in this process
        runs, calls = plan(queries)
        queries.close()
        json.dump({"runs": runs}, plan_file)
        plan_file.flush()
        while next_run < len(runs) and time.monotonic() - start < seconds:
            err = tempfile.TemporaryFile()
            child = subprocess.Popen(
                [sys.executable, __file__, "--worker", plan_file.name, str(next_run)],
                stdout=subprocess.PIPE, stderr=err, text=True)
            current = None
            for line in child.stdout:
                message = json.loads(line)
                current = message.get("run", current)
                if "done" in message:
                    next_run, current = message["done"] + 1, None
                    fired += message["fired"]
                    if message["fault"]:
                        faults.append((message["done"], message["fault"]))
                if time.monotonic() - start > seconds:
                    child.kill()
                    break
            child.wait()
            err.seek(0)
            stderr = err.read().decode(errors="replace")
            if current is not None and child.returncode != -9:  # the run killed the worker
                tail = (stderr.strip().splitlines() or ["no output"])[-1]
                faults.append((current, f"killed the process ({child.returncode}): {tail}"))
                next_run = current + 1
            elif child.returncode not in (0, -9):
                print(stderr, file=sys.stderr)
                return 1
    for number, what in faults:
        name, entry, n, code, short, focused = runs[number]
        about = " about the caller" if focused else ""
        print(f"FAILED: {name}: call {n}{about} of {entry} {kind_name(code, short)}: {what}")
    tried = runs[:next_run]
    line = (f"fault sweep over the Linux personality: {len({r[0] for r in tried})} queries, "
            f"{calls} calls, {len({kind_name(r[3], r[4]) for r in tried})} failure kinds, "
            f"{next_run} of {len(runs)} runs ({fired} failures fired) in "
            f"{time.monotonic() - start:.0f} s; failed: {len(faults) or 'none'}")
    print(line)
    if os.environ.get("LUMENSTAT_FAULT_SWEEP_LINES"):  # the test command gathers them into one
        with open(os.environ["LUMENSTAT_FAULT_SWEEP_LINES"], "a") as lines:
            print(line, file=lines)
    return 1 if faults else 0


if __name__ == "__main__":
    if sys.argv[1] == "--worker":
        worker(sys.argv[2], int(sys.argv[3]))
    else:
        sys.exit(main(float(sys.argv[1])))
