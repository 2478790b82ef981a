"""The peer's side of the benchmarks: a long-lived worker run under the interpreter psutil was built for.

Reads one JSON request per line from standard input ({"op": NAME, "pid": PID}), runs that one call,
and answers one JSON line: {"ns": elapsed nanoseconds of the call alone, "cpu": CPU nanoseconds of
this process during the call, "count": items returned}, or {"error": text}. Only the call is inside
the timed region; parsing and answering are not.
"""

import json
import sys
import time

import psutil

PROCESS_FIELDS = ["pid", "name", "cmdline", "status", "memory_info"]


def processes(_pid):
    return [p.info for p in psutil.process_iter(PROCESS_FIELDS)]


def virtual_memory(_pid):
    return psutil.virtual_memory()


def cpu_times(_pid):
    return psutil.cpu_times(percpu=True)


def process_io(pid):
    return psutil.Process(pid).io_counters()


def cpu_info(_pid):
    return (psutil.cpu_count(), psutil.cpu_freq())


def net_connections(_pid):
    return psutil.net_connections("inet")


def process_connections(pid):
    return psutil.Process(pid).connections("inet")


def disks(_pid):
    return [psutil.disk_usage(p.mountpoint) for p in psutil.disk_partitions()]


def disk_io(_pid):
    return list(psutil.disk_io_counters(perdisk=True).items())


OPERATIONS = {
    "processes": processes,
    "virtual_memory": virtual_memory,
    "cpu_times": cpu_times,
    "process_io": process_io,
    "cpu_info": cpu_info,
    "net_connections": net_connections,
    "process_connections": process_connections,
    "disks": disks,
    "disk_io": disk_io,
}


def count(result):
    return len(result) if isinstance(result, list) else 1


def main():
    print(json.dumps({"version": psutil.__version__, "python": sys.version.split()[0]}), flush=True)
    for line in sys.stdin:
        request = json.loads(line)
        operation = OPERATIONS[request["op"]]
        pid = request.get("pid")
        try:
            cpu_start = time.process_time_ns()
            start = time.perf_counter_ns()
            result = operation(pid)
            elapsed = time.perf_counter_ns() - start
            cpu = time.process_time_ns() - cpu_start
            answer = {"ns": elapsed, "cpu": cpu, "count": count(result)}
        except Exception as error:  # reported to the driver, which decides what it means
            answer = {"error": f"{type(error).__name__}: {error}"}
        print(json.dumps(answer), flush=True)


if __name__ == "__main__":
    main()
