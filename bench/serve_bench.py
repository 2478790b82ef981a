"""The report's server against what it is built from: a scrape of /metrics against the reading it
answers from, under a load of 600 processes and 1,000 sockets.

Run by `bash bench/run.sh serve`. The server is `lumenstat-report --serve` in a process of its
own; the driver times a whole scrape over loopback (request sent to last byte read), and, in turn,
one reading taken in the driver itself: the snapshot, CPU times and disk counters a scrape is built
from. The socket listing keeps its result for a second in each process, so every call waits more
than a second after the last one, and each side makes one fresh listing per call. The server's CPU
time per scrape comes from its /proc/PID/stat over all scrapes (threads included).
"""

import argparse
import os
import socket
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CACHE_SPACING_S = 1.05
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat", "rb") as f:
        fields = f.read().rsplit(b")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS  # utime, stime


def fetch(port, path):
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.sendall(f"GET {path} HTTP/1.0\r\n\r\n".encode())
        answer = bytearray()
        while chunk := s.recv(1 << 20):
            answer += chunk
    if not answer.startswith(b"HTTP/1.0 200 "):
        raise RuntimeError(f"GET {path}: {bytes(answer[:200])!r}")
    return bytes(answer)


class Load:
    """Holders of sleeping children (bench/load_processes), ended together."""

    def __init__(self, build_dir, parts):
        self.holders = []
        for children, pairs in parts:
            holder = subprocess.Popen(
                [os.path.join(build_dir, "load_processes"), str(children), str(pairs)],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            self.holders.append(holder)
            if not holder.stdout.readline().startswith("ready"):
                raise RuntimeError("the process load did not start")

    def close(self):
        for holder in self.holders:
            holder.stdin.close()
            holder.wait(timeout=30)


def median_ms(values):
    return statistics.median(values) * 1000


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--warmup", type=int, default=3)
    args = parser.parse_args()

    import lumenstat
    import lumenstat_report
    from lumenstat_serve.reading import read_machine

    # 500 children holding one connected TCP pair each (1,000 sockets) and 100 without.
    load = Load(args.build_dir, [(500, 1), (100, 0)])
    server = subprocess.Popen(
        [sys.executable, os.path.join(os.path.dirname(sys.executable), "lumenstat-report"),
         "--serve", "127.0.0.1:0"], stdout=subprocess.PIPE, text=True)
    try:
        port = int(server.stdout.readline().split()[1].rsplit(":", 1)[1].split("/")[0])
        time.sleep(CACHE_SPACING_S)
        reading = read_machine(lumenstat_report.take_snapshot, [])
        print(f"machine: {os.cpu_count()} CPUs; load: {reading.summary.process_count} processes, "
              f"{len(reading.summary.connections)} sockets", flush=True)

        def take_reading():
            start, cpu_start = time.perf_counter(), time.process_time()
            read_machine(lumenstat_report.take_snapshot, [])
            reading_cpu.append(time.process_time() - cpu_start)
            return time.perf_counter() - start

        def scrape():
            start = time.perf_counter()
            body = fetch(port, "/metrics")
            elapsed = time.perf_counter() - start
            sizes.append(len(body))
            return elapsed

        sizes, reading_cpu = [], []
        sides = {"reading": (take_reading, []), "scrape": (scrape, [])}
        server_cpu = 0.0
        for r in range(args.warmup + args.rounds):
            order = list(sides.items())
            if r % 2:
                order.reverse()
            for name, (measure, times) in order:
                time.sleep(CACHE_SPACING_S)
                before = cpu_seconds(server.pid)
                elapsed = measure()
                if r >= args.warmup:
                    times.append(elapsed)
                    if name == "scrape":
                        server_cpu += cpu_seconds(server.pid) - before
        reading_ms = median_ms(sides["reading"][1])
        scrape_ms = median_ms(sides["scrape"][1])
        print(f"reading (snapshot, CPU times, disk counters) in the driver: {reading_ms:8.3f} ms "
              f"median of {args.rounds}")
        print(f"scrape of /metrics over loopback:                       {scrape_ms:8.3f} ms "
              f"median of {args.rounds} ({statistics.median(sizes) / 1024:.0f} KiB)")
        print(f"ratio scrape / reading: {scrape_ms / reading_ms:.2f}x (goal <= 1.2x)")
        print(f"server CPU time per scrape: {server_cpu / args.rounds * 1000:.1f} ms "
              f"(user + system over {args.rounds} scrapes, ticks of {1000 / CLOCK_TICKS:.0f} ms); "
              f"the driver's per reading: {sum(reading_cpu[args.warmup:]) / args.rounds * 1000:.1f} ms")
    finally:
        server.terminate()
        server.wait(timeout=30)
        load.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
