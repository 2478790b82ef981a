"""The report's server against what it is built from, run by `bash bench/run.sh serve`.

1. Under 600 processes and 1,000 sockets: a scrape of /metrics against the reading it answers
   from (the snapshot, CPU times and disk counters), with the server's CPU time per scrape.
2. Under 2,000 processes and 5,000 sockets: GET /snapshot.json against what `lumenstat-report
   --json` does for its document, without its CPU sampling wait (a snapshot, the disk counters,
   the document and its JSON text); then the live page in headless Chromium: when its first draw
   ends after the page was asked for, and its own script time per redraw (Performance API).

The server is `lumenstat-report --serve` in a process of its own; the driver times a whole request
over loopback (request sent to last byte read) and, in turn, the same work in the driver itself.
The socket listing keeps its result for a second in each process, so every call waits more than a
second after the last one, and each side makes one fresh listing per call. The server's CPU time
comes from its /proc/PID/stat over all requests (threads included).
"""

import argparse
import contextlib
import json
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time

CACHE_SPACING_S = 1.05
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                  "--no-first-run", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync", "--window-size=1280,2000"]


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
    """Holders of sleeping children (bench/load_processes: COUNT children, PAIRS connected TCP
    pairs each), ended together."""

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
            holder.wait(timeout=60)


class Server:
    def __init__(self):
        script = os.path.join(os.path.dirname(sys.executable), "lumenstat-report")
        self.process = subprocess.Popen([sys.executable, script, "--serve", "127.0.0.1:0"],
                                        stdout=subprocess.PIPE, text=True)
        url = self.process.stdout.readline().split()[1]
        self.port = int(url.rsplit(":", 1)[1].split("/")[0])

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=30)


def interleaved(sides, rounds, warmup, server_pid):
    """{name: [seconds...]} of each side, one call each per round in alternating order, and the
    server's CPU seconds over the rounds' requests."""
    times = {name: [] for name in sides}
    server_cpu = 0.0
    for r in range(warmup + rounds):
        order = list(sides.items())
        if r % 2:
            order.reverse()
        for name, (measure, served) in order:
            time.sleep(CACHE_SPACING_S)
            before = cpu_seconds(server_pid)
            elapsed = measure()
            if r >= warmup:
                times[name].append(elapsed)
                if served:
                    server_cpu += cpu_seconds(server_pid) - before
    return times, server_cpu


def timed(function):
    start = time.perf_counter()
    function()
    return time.perf_counter() - start


def ms(values):
    return statistics.median(values) * 1000


def describe(reading):
    summary = reading.summary
    return f"{summary.process_count} processes, {len(summary.connections)} sockets"


def metrics_phase(args, read_machine, take_snapshot):
    load = Load(args.build_dir, [(500, 1), (100, 0)])  # 1,000 sockets in 500 of 600 processes
    server = Server()
    try:
        print(f"\n/metrics under {describe(read_machine(take_snapshot, []))}", flush=True)
        reading_cpu = []

        def reading():
            cpu = time.process_time()
            elapsed = timed(lambda: read_machine(take_snapshot, []))
            reading_cpu.append(time.process_time() - cpu)
            return elapsed
        times, server_cpu = interleaved(
            {"reading": (reading, False),
             "scrape": (lambda: timed(lambda: fetch(server.port, "/metrics")), True)},
            args.rounds, args.warmup, server.process.pid)
        size = len(fetch(server.port, "/metrics"))
    finally:
        server.close()
        load.close()
    reading_cpu_ms = statistics.mean(reading_cpu[args.warmup:]) * 1000
    print(f"  reading (snapshot, CPU times, disk counters) in the driver: "
          f"{ms(times['reading']):8.3f} ms, CPU {reading_cpu_ms:.1f} ms")
    print(f"  scrape of /metrics ({size / 1024:.0f} KiB):                    "
          f"{ms(times['scrape']):8.3f} ms, server CPU {server_cpu / args.rounds * 1000:.1f} ms")
    print(f"  ratio {ms(times['scrape']) / ms(times['reading']):.2f}x (goal <= 1.2x); medians of "
          f"{args.rounds}, CPU as means (the server's in ticks of {1000 / CLOCK_TICKS:.0f} ms)")


def page_phase(args, read_machine, take_snapshot, document):
    # The browser's driver takes a port that is free on 127.0.0.1 but must be free on ::1 too:
    # it starts before the load takes its thousands of ports.
    with browser() as driver:
        load = Load(args.build_dir, [(1250, 2), (750, 0)])  # 5,000 sockets in 1,250 of 2,000
        server = Server()
        try:
            print(f"\n/snapshot.json and the page under "
                  f"{describe(read_machine(take_snapshot, []))}", flush=True)

            def json_document():  # what `lumenstat-report --json` does, but its CPU sample
                return timed(lambda: json.dumps(document(take_snapshot(0)), indent=2,
                                                allow_nan=False))
            times, server_cpu = interleaved(
                {"--json": (json_document, False),
                 "endpoint": (lambda: timed(lambda: fetch(server.port, "/snapshot.json")), True)},
                args.rounds, args.warmup, server.process.pid)
            size = len(fetch(server.port, "/snapshot.json"))
            server_cpu_ms = server_cpu / args.rounds * 1000
            print(f"  --json document in the driver:        {ms(times['--json']):8.3f} ms")
            print(f"  GET /snapshot.json ({size / 1024:.0f} KiB):      "
                  f"{ms(times['endpoint']):8.3f} ms, server CPU {server_cpu_ms:.1f} ms")
            print(f"  ratio {ms(times['endpoint']) / ms(times['--json']):.2f}x (goal <= 1.1x); "
                  f"medians of {args.rounds}")
            page_lines(driver, server.port, args.redraws)
        finally:
            server.close()
            load.close()


@contextlib.contextmanager
def browser():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    with tempfile.TemporaryDirectory() as profile:
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for flag in CHROMIUM_FLAGS + [f"--user-data-dir={profile}"]:
            options.add_argument(flag)
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        try:
            yield driver
        finally:
            driver.quit()


def page_lines(driver, port, redraws):
    from selenium.webdriver.support.ui import WebDriverWait

    driver.get(f"http://127.0.0.1:{port}/")
    WebDriverWait(driver, 120, poll_frequency=0.1).until(
        lambda d: int(d.execute_script("return document.body.dataset.redraws || 0")) >= redraws)
    first, durations = driver.execute_script(
        "const m = performance.getEntriesByName('redraw');"
        "return [m[0].startTime + m[0].duration, m.map(e => e.duration)];")
    print(f"  page in headless Chromium: first draw done {first:.0f} ms after navigation began; "
          f"script time per redraw {statistics.median(durations):.1f} ms median, "
          f"{max(durations):.1f} ms at most (the first: {durations[0]:.1f} ms), "
          f"of {len(durations)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--rounds", type=int, default=30)
    parser.add_argument("--warmup", type=int, default=3)
    parser.add_argument("--redraws", type=int, default=20)
    args = parser.parse_args()

    import lumenstat_report
    from lumenstat_serve.reading import read_machine

    print(f"machine: {os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.1f} at the start")
    metrics_phase(args, read_machine, lumenstat_report.take_snapshot)
    page_phase(args, read_machine, lumenstat_report.take_snapshot, lumenstat_report.document)
    return 0


if __name__ == "__main__":
    sys.exit(main())
