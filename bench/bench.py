"""Benchmark driver: lumenstat against its floors and psutil, side by side, under a load it makes.

Run by bench/run.sh under the virtual environment's Python 3.13 (where lumenstat is installed).
psutil runs in a long-lived worker under Debian's python3, the floors are long-lived C workers, and
each side times only its own call, so a sample is the call and nothing else. Contenders are
interleaved round by round, in an order that rotates, so background noise falls on all alike.
Beside each wall time the sides report the CPU time (user and system) their whole process spent in
the call, helper threads included.
"""

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time

from tracker_bench import tracker_phase

HERE = os.path.dirname(os.path.abspath(__file__))
CACHE_SPACING_S = 1.05  # the socket listing keeps its result for one second


class WorkerDied(Exception):
    """A helper of the benchmark itself went away: the run cannot go on."""


class Worker:
    """A child process answering one line per request line."""

    def __init__(self, argv, name):
        self.name = name
        self.process = subprocess.Popen(
            argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1
        )

    def read_line(self):
        line = self.process.stdout.readline()
        if not line:
            code = self.process.wait()
            raise WorkerDied(f"{self.name} exited unexpectedly (status {code})")
        return line

    def ask(self, request):
        self.process.stdin.write(request + "\n")
        self.process.stdin.flush()
        return self.read_line()

    def close(self):
        if self.process.poll() is None:
            try:
                self.process.stdin.close()
            except OSError:
                pass
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        return self.process.returncode


class Contender:
    """One side of a comparison; `sample()` returns (nanoseconds, items) of one call.

    A call that raises is a result of the run, not a crash of it: the contender keeps the error,
    takes no further samples, and its rows show the error.
    """

    def __init__(self, label, sample, after=None):
        self.label = label
        self.sample = sample
        self.after = after
        self.times = []
        self.cpu_times = []
        self.items = None
        self.error = None

    def run(self):
        if self.error is not None:
            return
        try:
            ns, items, *cpu = self.sample()
        except WorkerDied:
            raise
        except Exception as error:
            self.error = f"{self.label}: {type(error).__name__}: {error}"
            return
        finally:
            if self.after is not None:
                self.after()
        self.times.append(ns)
        self.cpu_times += cpu
        self.items = items

    def forget(self):
        self.times.clear()
        self.cpu_times.clear()

    def median_ms(self):
        return statistics.median(self.times) / 1e6

    def median_cpu_ms(self):
        """None when the side does not report CPU time."""
        return statistics.median(self.cpu_times) / 1e6 if self.cpu_times else None


def lumenstat_call(function, *args):
    # CPU time is the whole driver process's, the call's helper threads included.
    def sample():
        cpu_start = time.process_time_ns()
        start = time.perf_counter_ns()
        result = function(*args)
        elapsed = time.perf_counter_ns() - start
        cpu = time.process_time_ns() - cpu_start
        return elapsed, len(result) if isinstance(result, list) else 1, cpu

    return sample


def psutil_call(worker, op, pid=None):
    request = json.dumps({"op": op, "pid": pid})

    def sample():
        answer = json.loads(worker.ask(request))
        if "error" in answer:
            raise RuntimeError(answer["error"])
        return answer["ns"], answer["count"], answer["cpu"]

    return sample


def floor_call(worker):
    def sample():
        wall, cpu, items = worker.ask("pass").split()[:3]
        return int(wall), int(items), int(cpu)

    return sample


class Row:
    """One line of the result table: lumenstat against one peer, with a goal on the ratio of the
    wall times and, optionally, one on the ratio of the CPU times."""

    def __init__(self, title, lumenstat, peer, goal, cpu_goal=None):
        self.title = title
        self.lumenstat = lumenstat
        self.peer = peer
        self.goal = goal
        self.cpu_goal = cpu_goal

    def status(self):
        """None when measured; otherwise why there is no figure."""
        if self.lumenstat is None:
            return "skipped (not available)"
        for side in (self.lumenstat, self.peer):
            if side.error is not None:
                return f"error: {side.error}"
        return None

    def cells(self):
        cpu_goal = f"<= {self.cpu_goal}x" if self.cpu_goal is not None else ""
        status = self.status()
        if status is not None:
            theirs = f"{self.peer.median_ms():.3f}" if self.peer.times else ""
            return [self.title, "", theirs, "", f"<= {self.goal}x", "", "", "", cpu_goal, status, ""]
        mine = self.lumenstat.median_ms()
        theirs = self.peer.median_ms()
        ratio = mine / theirs
        missed = [] if ratio <= self.goal else ["wall"]
        mine_cpu = self.lumenstat.median_cpu_ms()
        theirs_cpu = self.peer.median_cpu_ms()
        cpu_cells = ["", "", ""]
        if mine_cpu is not None and theirs_cpu is not None:
            cpu_ratio = mine_cpu / theirs_cpu if theirs_cpu > 0 else float("inf")
            cpu_cells = [f"{mine_cpu:.3f}", f"{theirs_cpu:.3f}", f"{cpu_ratio:.2f}x"]
            if self.cpu_goal is not None and cpu_ratio > self.cpu_goal:
                missed.append("CPU")
        met = "met" if not missed else f"NOT met ({', '.join(missed)})"
        items = f"{self.lumenstat.items}/{self.peer.items}"
        return [
            self.title,
            f"{mine:.3f}",
            f"{theirs:.3f}",
            f"{ratio:.2f}x",
            f"<= {self.goal}x",
            *cpu_cells,
            cpu_goal,
            met,
            items,
        ]


def function_of(module, name):
    return getattr(module, name, None) if module is not None else None


def rotate(items, shift):
    shift %= len(items)
    return items[shift:] + items[:shift]


def measure_rounds(contenders, warmup, rounds):
    """Runs every contender once per round, in rotating order; the first rounds are not kept."""
    for r in range(warmup + rounds):
        for contender in rotate(contenders, r):
            contender.run()
        if r < warmup:
            for contender in contenders:
                contender.forget()


def pair_rows(module, psutil_worker, specs, warmup, rounds):
    """One lumenstat call against one psutil call per row, each row measured on its own."""
    rows = []
    for title, name, args, op, pid, goal in specs:
        function = function_of(module, name)
        mine = Contender("lumenstat", lumenstat_call(function, *args)) if function else None
        theirs = Contender("psutil", psutil_call(psutil_worker, op, pid))
        rows.append(Row(title, mine, theirs, goal))
        if mine is not None:
            measure_rounds([mine, theirs], warmup, rounds)
    return rows


class Load:
    """One shape of load: holders running load_processes, each with (children, TCP pairs per
    child). Every holder is ready (its children hold their sockets) once the object exists; close()
    ends them all and fails the run if one of them failed."""

    def __init__(self, build_dir, parts):
        self.parts = parts
        self.holders = []
        try:
            for children, pairs in parts:
                argv = [os.path.join(build_dir, "load_processes"), str(children), str(pairs)]
                holder = Worker(argv, "process load")
                self.holders.append(holder)
                holder.read_line()
        except BaseException:
            self.close()
            raise

    def pids(self):
        return [holder.process.pid for holder in self.holders]

    def close(self):
        codes = [holder.close() for holder in self.holders]
        self.holders = []
        if any(code != 0 for code in codes):
            raise WorkerDied(f"a process load ended with status {max(codes)}")

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()


def listing_sides(function, floor, psutil_worker, op, after=None):
    """lumenstat (None when the module lacks the function), the floor and psutil for one listing."""
    mine = Contender("lumenstat", lumenstat_call(function), after=after) if function else None
    return {
        "lumenstat": mine,
        "floor": Contender("floor", floor_call(floor)),
        "psutil": Contender("psutil", psutil_call(psutil_worker, op)),
    }


def present(sides):
    return [side for side in sides.values() if side is not None]


def print_growth(what, first, last, units, unit):
    """How each side's median grows from one shape to a larger one, per unit of the difference, so
    that a cost growing faster than the floor's shows."""
    print(f"  {what}: growth per {unit} (microseconds, wall / CPU):", flush=True)
    growth = {}
    for label in first:
        a, b = first[label], last[label]
        if a is None or b is None or not a.times or not b.times:
            continue
        wall = (b.median_ms() - a.median_ms()) * 1000 / units
        cpu = None
        if a.cpu_times and b.cpu_times:
            cpu = (b.median_cpu_ms() - a.median_cpu_ms()) * 1000 / units
        growth[label] = (wall, cpu)
    floor = growth.get("floor")
    for label, (wall, cpu) in growth.items():
        cpu_text = f"{cpu:8.3f}" if cpu is not None else "       -"
        line = f"    {label:<9} {wall:8.3f} / {cpu_text}"
        if label != "floor" and floor is not None and floor[0] > 0:
            line += f"   ({wall / floor[0]:.2f}x the floor's wall"
            if cpu is not None and floor[1] is not None and floor[1] > 0:
                line += f", {cpu / floor[1]:.2f}x its CPU"
            line += ")"
        print(line, flush=True)


def process_phase(module, psutil_worker, build_dir, args):
    floor = Worker([os.path.join(build_dir, "floor_processes")], "process floor")
    get_processes = function_of(module, "get_processes")
    loads = sorted(set(args.process_loads) | {args.processes})
    rows = []
    measured = []
    try:
        for count in loads:
            with Load(build_dir, [(count, 0)]) as load:
                pid = load.pids()[0]
                print(f"\nprocess load: {count} sleeping children of pid {pid}", flush=True)
                sides = listing_sides(get_processes, floor, psutil_worker, "processes")
                mine = sides["lumenstat"]
                rows += [
                    Row(f"get_processes() +{count} idle vs floor", mine, sides["floor"], 1.0, 1.3),
                    Row(f"get_processes() +{count} idle vs process_iter", mine, sides["psutil"],
                        0.35),
                ]
                measure_rounds(present(sides), args.warmup, args.rounds)
                print_medians("process listing", present(sides))
                measured.append((count, sides))
                if count == args.processes:
                    rows += small_rows(module, psutil_worker, pid, args)
        if len(measured) > 1:
            (low, first), (high, last) = measured[0], measured[-1]
            print_growth(f"\nget_processes() from +{low} to +{high}", first, last, high - low,
                         "extra process")
        return rows
    finally:
        floor.close()


def small_rows(module, psutil_worker, pid, args):
    """The calls about one thing, measured under the process load."""
    specs = [
        ("py_get_memory_info() vs virtual_memory", "py_get_memory_info", (), "virtual_memory",
         None, 1.0),
        ("py_get_cpu_times() vs cpu_times(percpu)", "py_get_cpu_times", (), "cpu_times", None,
         1.0),
        ("get_process_io(pid) vs io_counters", "get_process_io", (pid,), "process_io", pid, 1.0),
        ("py_get_cpu_info() vs cpu_count+cpu_freq", "py_get_cpu_info", (), "cpu_info", None,
         1.0),
    ]
    return pair_rows(module, psutil_worker, specs, args.warmup, args.small_rounds)


class CacheSpacing:
    """The socket listing keeps its result for one second: wait() returns once more than that has
    passed since the last listing, which done() marks."""

    def __init__(self):
        self.last = 0.0

    def done(self):
        self.last = time.monotonic()

    def wait(self):
        remaining = self.last + CACHE_SPACING_S - time.monotonic()
        if remaining > 0:
            time.sleep(remaining)


# Shapes of load for the socket listing: a title and the parts of its Load. Each part is
# (processes, connected TCP pairs per process); a pair is two sockets of the same process.
CONNECTION_SHAPES = [
    ("no load", []),
    ("1 proc x 1000 TCP", [(1, 500)]),
    ("1 proc x 1000 TCP +500 idle", [(1, 500), (500, 0)]),
    ("200 procs x 10 TCP", [(200, 5)]),
]


def connection_shapes_phase(module, psutil_worker, build_dir, spacing, args):
    floor = Worker([os.path.join(build_dir, "floor_sockets")], "socket floor")
    get_connections = function_of(module, "get_connections")
    rows = []
    measured = {}
    try:
        for title, parts in CONNECTION_SHAPES:
            with Load(build_dir, parts):
                print(f"\nconnection shape: {title}", flush=True)
                sides = listing_sides(get_connections, floor, psutil_worker, "net_connections",
                                      after=spacing.done)
                if parts:
                    mine = sides["lumenstat"]
                    rows += [
                        Row(f"get_connections() {title} vs floor", mine, sides["floor"], 1.0),
                        Row(f"get_connections() {title} vs net_connections", mine,
                            sides["psutil"], 0.4),
                    ]
                for r in range(args.warmup + args.shape_rounds):
                    # Every listing is a fresh enumeration, past the cached second.
                    spacing.wait()
                    for contender in rotate(present(sides), r):
                        contender.run()
                    if r < args.warmup:
                        for contender in present(sides):
                            contender.forget()
                print_medians("socket listing", present(sides))
                measured[title] = sides
        bare, one, beside, many = (measured[title] for title, _ in CONNECTION_SHAPES)
        print()
        print_growth("get_connections() from no load to 1 proc x 1000 TCP", bare, one, 1000,
                     "socket")
        print_growth("get_connections() from 1 proc x 1000 TCP to +500 idle", one, beside, 500,
                     "idle process")
        print_growth("get_connections() from no load to 200 procs x 10 TCP", bare, many, 200,
                     "process of 10 sockets")
        return rows
    finally:
        floor.close()


def socket_phase(module, psutil_worker, build_dir, spacing, args):
    load = Worker(["/usr/bin/python3", os.path.join(HERE, "load_sockets.py")], "socket load")
    floor = Worker([os.path.join(build_dir, "floor_sockets")], "socket floor")
    try:
        held = json.loads(load.read_line())
        pid = held["pid"]
        print(
            f"\nsocket load: pid {pid} holds {held['tcp']} TCP and {held['udp']} UDP sockets "
            "(IPv4 and IPv6, loopback)",
            flush=True,
        )
        get_connections = function_of(module, "get_connections")
        get_queues = function_of(module, "get_process_socket_queues")

        listing = None
        if get_connections is not None:
            listing = Contender("lumenstat", lumenstat_call(get_connections), after=spacing.done)
        queues = Contender("lumenstat", lumenstat_call(get_queues, pid)) if get_queues else None
        floor_side = Contender("floor", floor_call(floor))
        all_psutil = Contender("psutil", psutil_call(psutil_worker, "net_connections"))
        one_psutil = Contender("psutil", psutil_call(psutil_worker, "process_connections", pid))
        rows = [
            Row("get_connections() vs floor", listing, floor_side, 1.0),
            Row("get_connections() vs net_connections", listing, all_psutil, 0.5),
            Row("get_process_socket_queues vs connections", queues, one_psutil, 0.5),
        ]
        listing_group = [c for c in (listing, floor_side, all_psutil) if c is not None]
        queue_group = [c for c in (queues, one_psutil) if c is not None]

        for r in range(args.warmup + args.socket_rounds):
            # Every listing must be a fresh enumeration, more than a second after the last one;
            # the uncached queue queries run in the same round.
            spacing.wait()
            for contender in rotate(listing_group, r):
                contender.run()
            for _ in range(args.queue_pairs):
                for contender in rotate(queue_group, r):
                    contender.run()
            if r < args.warmup:
                for contender in listing_group + queue_group:
                    contender.forget()
        print_medians("socket listing", listing_group)
        print_medians("one process's sockets", queue_group)

        rows += summary_rows(module, args, spacing)

        if listing is not None and listing.error is None:
            spacing.wait()
            fresh = lumenstat_call(get_connections)()[0]
            within = lumenstat_call(get_connections)()[0]
            spacing.done()
            print(
                f"  get_connections(): fresh {fresh / 1e6:.3f} ms, again within the cached second "
                f"{within / 1e6:.3f} ms (for reference, not compared)",
                flush=True,
            )
        return rows
    finally:
        floor.close()
        code = load.close()
        if code != 0:
            raise WorkerDied(f"socket load ended with status {code}")


def spawn_call(worker):
    def sample():
        fields = worker.ask("run").split()
        if int(fields[0]) < 0:
            raise RuntimeError(f"{worker.name} failed (wait status {fields[1]})")
        return int(fields[0]), int(fields[1])

    return sample


def python_call(function, *args):
    def sample():
        start = time.perf_counter_ns()
        result = function(*args)
        elapsed = time.perf_counter_ns() - start
        return elapsed, len(result)

    return sample


def traffic_phase(module, build_dir, args):
    """get_process_socket_stats of a process holding 200 connected TCP sockets, under the socket
    load, against `ss -tin` run as a child for the same connections; and the traffic tool alone,
    run the same way."""
    load = Worker(["/usr/bin/python3", os.path.join(HERE, "load_sockets.py")], "socket load")
    traffic = Worker(["/usr/bin/python3", os.path.join(HERE, "load_traffic.py")], "traffic load")
    peers = []
    try:
        background = json.loads(load.read_line())
        held = json.loads(traffic.read_line())
        pid, port = held["pid"], held["port"]
        print(
            f"\ntraffic load: pid {pid} holds {held['connected']} connected TCP sockets on port "
            f"{port}, beside the socket load's {background['tcp']} TCP sockets",
            flush=True,
        )
        same = ["(", "sport", "=", f":{port}", "or", "dport", "=", f":{port}", ")"]
        ss = Worker([os.path.join(build_dir, "spawn_peer"), "1", "ss", "-tin", *same], "ss -tin")
        peers.append(ss)
        stats = function_of(module, "get_process_socket_stats")
        mine = Contender("lumenstat", lumenstat_call(stats, pid)) if stats else None
        tool_side = None
        if module is not None and hasattr(module, "__file__"):
            tool = os.path.join(os.path.dirname(module.__file__), "lumenstat.libexec", "nettop")
            if os.access(tool, os.X_OK):
                runner = Worker([os.path.join(build_dir, "spawn_peer"), "1", tool, "-L", "1", "-n",
                                 "-p", str(pid)], "traffic tool")
                peers.append(runner)
                tool_side = Contender("tool", spawn_call(runner))
        ss_side = Contender("ss", spawn_call(ss))
        # For reference: ss -tin without the filter reports every TCP connection of the machine.
        every = Worker([os.path.join(build_dir, "spawn_peer"), "1", "ss", "-tin"], "ss -tin (all)")
        peers.append(every)
        every_side = Contender("ss (all)", spawn_call(every))
        rows = [
            Row("get_process_socket_stats(pid) vs ss -tin", mine, ss_side, 1.5),
            Row("traffic tool (nettop) vs ss -tin", tool_side, ss_side, 1.0),
        ]
        contenders = [c for c in (mine, tool_side, ss_side, every_side) if c is not None]
        measure_rounds(contenders, args.warmup, args.traffic_rounds)
        print_medians("one process's traffic", contenders)
        return rows
    finally:
        for peer in peers:
            peer.close()
        for worker in (traffic, load):
            code = worker.close()
            if code != 0:
                raise WorkerDied(f"{worker.name} ended with status {code}")


def scandir_listing(path):
    """What list_dir does, written with the standard library: every entry with its own status,
    directories first, names in byte order."""
    entries = []
    with os.scandir(path) as listing:
        for entry in listing:
            try:
                status = os.lstat(entry.path)
            except OSError:
                continue
            is_dir = (status.st_mode & 0o170000) == 0o040000
            entries.append((entry.name, entry.path, is_dir, 0 if is_dir else status.st_size))
    entries.sort(key=lambda e: (not e[2], e[0].encode("utf-8", "surrogateescape")))
    return entries


def storage_phase(module, psutil_worker, args):
    specs = [
        ("py_get_disks() vs disk_partitions+disk_usage", "py_get_disks", (), "disks", None, 0.5),
        ("py_get_disk_io_stats() vs disk_io_counters", "py_get_disk_io_stats", (), "disk_io",
         None, 1.0),
    ]
    rows = pair_rows(module, psutil_worker, specs, args.warmup, args.small_rounds)
    list_dir = function_of(module, "list_dir")
    with tempfile.TemporaryDirectory(prefix="lumenstat-bench-") as directory:
        for i in range(args.directory_entries):
            with open(os.path.join(directory, f"file{i:05d}"), "wb") as f:
                f.write(b"x" * (i % 100))
        print(f"\nstorage: a directory of {args.directory_entries} files in {directory}",
              flush=True)
        mine = Contender("lumenstat", lumenstat_call(list_dir, directory)) if list_dir else None
        theirs = Contender("scandir", python_call(scandir_listing, directory))
        rows.append(Row(f"list_dir() vs scandir+lstat+sort ({args.directory_entries} files)",
                        mine, theirs, 0.5))
        contenders = [c for c in (mine, theirs) if c is not None]
        measure_rounds(contenders, args.warmup, args.rounds)
        print_medians("directory listing", contenders)
    return rows


# The queries a snapshot makes, in its order, each called as a module function.
SUMMARY_PARTS = ["py_get_memory_info", "py_get_cpu_info", "py_get_disks", "py_get_socket_summary",
                 "get_connections", "get_processes", "py_get_cpu_usage", "py_get_socket_summary"]


def summary_rows(module, args, spacing):
    """PySystemSummary(0) against the same queries called one by one; each side starts from an
    expired socket cache, so each makes one fresh socket listing."""
    summary_class = function_of(module, "PySystemSummary")
    parts = [function_of(module, name) for name in SUMMARY_PARTS]

    def snapshot():
        start = time.perf_counter_ns()
        s = summary_class(0)
        elapsed = time.perf_counter_ns() - start
        return elapsed, s.process_count + len(s.connections)

    def one_by_one():
        start = time.perf_counter_ns()
        results = [f(0) if name == "py_get_cpu_usage" else f()
                   for name, f in zip(SUMMARY_PARTS, parts)]
        elapsed = time.perf_counter_ns() - start
        return elapsed, len(results[5]) + len(results[4])

    available = summary_class is not None and all(parts)
    mine = Contender("lumenstat", snapshot, after=spacing.done) if available else None
    peer = Contender("one by one", one_by_one, after=spacing.done)
    if available:
        for r in range(args.warmup + args.summary_rounds):
            for contender in rotate([mine, peer], r):
                spacing.wait()
                contender.run()
            if r < args.warmup:
                mine.forget()
                peer.forget()
        print_medians("snapshot", [mine, peer])
    return [Row("PySystemSummary(0) vs its queries one by one", mine, peer, 1.0)]


def under_both_loads(args, measure):
    """Runs `measure` while the process load and the socket load are both alive."""
    processes = Worker([os.path.join(args.build_dir, "load_processes"), str(args.processes)],
                       "process load")
    sockets = Worker(["/usr/bin/python3", os.path.join(HERE, "load_sockets.py")], "socket load")
    try:
        processes.read_line()
        sockets.read_line()
        return measure()
    finally:
        for load in (sockets, processes):
            code = load.close()
            if code != 0:
                raise WorkerDied(f"{load.name} ended with status {code}")


def print_medians(what, contenders):
    for c in contenders:
        if c.times:
            cpu = c.median_cpu_ms()
            cpu = f", CPU {cpu:.3f} ms" if cpu is not None else ""
            print(
                f"  {what}: {c.label:<9} {c.median_ms():9.3f} ms median of {len(c.times)}{cpu}, "
                f"{c.items} items",
                flush=True,
            )


def print_table(rows):
    header = ["measurement", "lumenstat ms", "peer ms", "ratio", "goal", "CPU ms", "peer CPU",
              "CPU ratio", "CPU goal", "result", "items"]
    lines = [header] + [row.cells() for row in rows]
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    for n, line in enumerate(lines):
        cells = [line[0].ljust(widths[0])] + [
            cell.rjust(widths[i + 1]) for i, cell in enumerate(line[1:-2])
        ] + [line[-2].ljust(widths[-2]), line[-1]]
        print("  ".join(cells).rstrip())
        if n == 0:
            print("  ".join("-" * w for w in widths))


def describe_machine(psutil_info):
    model = ""
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    print(f"machine: {platform.system()} {platform.release()}, {os.cpu_count()} CPUs, {model}")
    print(
        f"lumenstat under Python {platform.python_version()}; psutil {psutil_info['version']} "
        f"under Python {psutil_info['python']}"
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build-dir", required=True, help="where run.sh compiled the C programs")
    parser.add_argument("--processes", type=int, default=600,
                        help="the process load the calls about one thing run under")
    parser.add_argument("--process-loads", type=lambda text: [int(n) for n in text.split(",")],
                        default=[100, 600, 2000], help="extra processes of each process shape")
    parser.add_argument("--warmup", type=int, default=3)
    parser.add_argument("--rounds", type=int, default=40)
    parser.add_argument("--small-rounds", type=int, default=200)
    parser.add_argument("--socket-rounds", type=int, default=40)
    parser.add_argument("--queue-pairs", type=int, default=3)
    parser.add_argument("--traffic-rounds", type=int, default=60)
    parser.add_argument("--directory-entries", type=int, default=10000)
    parser.add_argument("--summary-rounds", type=int, default=20)
    parser.add_argument("--shape-rounds", type=int, default=15,
                        help="rounds of the socket listing on each connection shape")
    args = parser.parse_args()

    broken = False
    try:
        import lumenstat
    except ModuleNotFoundError as error:
        lumenstat = None
        print(f"lumenstat is not installed ({error}): every measurement of it is skipped")
    except ImportError as error:
        # Installed but unloadable: the peers are still measured, and the run reports failure.
        lumenstat = None
        broken = True
        print(f"lumenstat fails to import ({error}): every measurement of it is skipped")

    psutil_worker = Worker(["/usr/bin/python3", os.path.join(HERE, "psutil_worker.py")], "psutil")
    try:
        describe_machine(json.loads(psutil_worker.read_line()))
        started = time.monotonic()
        rows = process_phase(lumenstat, psutil_worker, args.build_dir, args)
        spacing = CacheSpacing()
        rows += socket_phase(lumenstat, psutil_worker, args.build_dir, spacing, args)
        rows += traffic_phase(lumenstat, args.build_dir, args)
        rows += storage_phase(lumenstat, psutil_worker, args)
        rows += connection_shapes_phase(lumenstat, psutil_worker, args.build_dir, spacing, args)
        tracker_lines = under_both_loads(args, lambda: tracker_phase(lumenstat, Worker, args))
        print(f"\nmedians; ratio = lumenstat / peer ({time.monotonic() - started:.0f} s of measuring)")
        print_table(rows)
        print("\ntrackers (watched process: 100 sockets, 20 descendants; process and socket loads alive)")
        print("\n".join(tracker_lines))
    finally:
        psutil_worker.close()
    failed = [row for row in rows if (row.status() or "").startswith("error")]
    return 1 if failed or broken else 0


if __name__ == "__main__":
    sys.exit(main())
