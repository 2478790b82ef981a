"""lumenstat-report --serve: its exposition read by a real Prometheus and checked by promtool, and
the server's answers to bad, slow, silent and many clients."""
import concurrent.futures
import itertools
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import sysconfig
import threading
import time
import urllib.error
import urllib.parse
import urllib.request
from contextlib import contextmanager
from pathlib import Path

import pytest
from prometheus_client.parser import text_string_to_metric_families

import lumenstat
import lumenstat_report
from conftest import getters, wait_until
from lumenstat_serve import make_app
from lumenstat_serve.reading import SharedReading, read_machine
from lumenstat_serve.server import Server

REPORT = Path(sysconfig.get_paths()["scripts"]) / "lumenstat-report"
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
OPENMETRICS = "application/openmetrics-text"


def tool(name, package):
    return shutil.which(name) or pytest.fail(f"{name} is not installed: the test needs Debian's "
                                             f"{package} (bash scripts/setup.sh --tests)")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def get(url, headers=None, timeout=30):
    with urllib.request.urlopen(urllib.request.Request(url, headers=headers or {}),
                                timeout=timeout) as answer:
        return answer.status, answer.headers, answer.read()


@contextmanager
def exporter(*args):
    """lumenstat-report --serve on a free loopback port; yields its base URL."""
    process = subprocess.Popen(
        [sys.executable, str(REPORT), "--serve", "127.0.0.1:0", *args],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        first = process.stdout.readline()
        assert first.startswith("serving http://"), first + process.stderr.read()
        yield first.split()[1].removesuffix("/metrics")
    finally:
        process.send_signal(signal.SIGTERM)
        assert process.wait(timeout=10) == 0
        assert "Traceback" not in process.stderr.read()


# A process name holding what the exposition must escape: quotes, a backslash, a newline and
# bytes that are not UTF-8 (the kernel keeps 15 bytes of it).
ODD_NAME = b'a"b\\c\nd\xff\xfe'
HOLDER = r"""
import socket, sys
open("/proc/self/comm", "wb").write(bytes.fromhex(sys.argv[1]))
server = socket.create_server(("127.0.0.1", 0))
print(server.getsockname()[1], flush=True)
sys.stdin.read()
"""


def query(base, expression):
    """{frozen labels: value} of an instant query of a Prometheus server; {} while it starts."""
    try:
        answer = json.loads(get(f"{base}/api/v1/query?" + urllib.parse.urlencode(
            {"query": expression}))[2])
    except OSError:
        return {}
    return {frozenset(series["metric"].items()): float(series["value"][1])
            for series in answer["data"]["result"]}


@pytest.mark.real
def test_prometheus_stores_what_the_module_reports(tmp_path, child):
    """promtool accepts the exposition, names that need escaping included, and Prometheus stores
    its series under the labels served."""
    holder = child([sys.executable, "-c", HOLDER, ODD_NAME.hex()], stdin=subprocess.PIPE,
                   stdout=subprocess.PIPE, text=True)
    holder.stdout.readline()  # once it has its name and its listener
    with exporter("--process", str(holder.pid)) as url:
        check = subprocess.run([tool("promtool", "prometheus"), "check", "metrics"],
                               input=get(url + "/metrics")[2], capture_output=True)
        assert (check.returncode, check.stdout, check.stderr) == (0, b"", b"")
        target, prom = urllib.parse.urlparse(url).netloc, f"127.0.0.1:{free_port()}"
        (tmp_path / "prometheus.yml").write_text(
            "global: {scrape_interval: 1s, scrape_timeout: 1s, evaluation_interval: 1s}\n"
            f"scrape_configs: [{{job_name: j, static_configs: [{{targets: ['{target}']}}]}}]\n")
        child([tool("prometheus", "prometheus"), f"--config.file={tmp_path}/prometheus.yml",
               f"--storage.tsdb.path={tmp_path}/data", f"--web.listen-address={prom}"],
              stderr=subprocess.DEVNULL)
        mine = f'lumenstat_process_sockets{{pid="{holder.pid}",state="LISTEN"}}'
        assert wait_until(lambda: query(f"http://{prom}", mine), 30)
        assert query(f"http://{prom}", mine) == {frozenset({
            ("__name__", "lumenstat_process_sockets"), ("instance", target), ("job", "j"),
            ("pid", str(holder.pid)), ("name", lumenstat.get_process_by_pid(holder.pid).name),
            ("protocol", "tcp"), ("state", "LISTEN")}): 1.0}


@contextmanager
def serving(take, client_timeout=10.0):
    """The server in this process, answering from `take`; yields its base URL."""
    server = Server(("127.0.0.1", 0),
                    make_app(SharedReading(take), 10, lumenstat_report.document),
                    client_timeout=client_timeout)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield server.url()
    finally:
        server.shutdown()
        server.server_close()


def exchange(url, request, read_size=65536, pause=0.0):
    """Sends raw bytes, returns all that comes back until the server closes; a reader that pauses
    keeps a small receive buffer, so that the server's writes wait for it."""
    address = urllib.parse.urlparse(url)
    with socket.socket() as s:
        if pause:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.settimeout(30)
        s.connect((address.hostname, address.port))
        s.sendall(request)
        answer = b""
        while chunk := s.recv(read_size):
            answer += chunk
            time.sleep(pause)
    return answer


# Series of each storage driver, file system and socket of a watched process, the attribute
# each carries and its unit: the drivers' *_time_ms are nanoseconds, served as seconds.
DISK_SERIES = [("reads_completed", "reads", 1), ("writes_completed", "writes", 1),
               ("read_bytes", "bytes_read", 1), ("written_bytes", "bytes_written", 1),
               ("read_time_seconds", "read_time_ms", 1e9),
               ("write_time_seconds", "write_time_ms", 1e9)]
FILE_SYSTEM_SERIES = [("size", "total_bytes"), ("used", "used_bytes"),
                      ("available", "available_bytes")]
QUEUE_SERIES = [("receive_queue", "recv_queue_bytes"), ("send_queue", "send_queue_bytes"),
                ("receive_buffer", "recv_queue_hiwat"), ("send_buffer", "send_queue_hiwat")]


def series(metric, /, **labels):
    return metric, tuple(sorted(labels.items()))


def test_metrics_are_the_figures_of_the_reading_in_base_units():
    server = socket.create_server(("127.0.0.1", 0))
    client = socket.create_connection(server.getsockname())
    peer = server.accept()[0]
    client.sendall(b"x" * 1000)
    fixed = read_machine(lumenstat_report.take_snapshot, [os.getpid()])
    with serving(lambda: fixed) as url:
        text = get(url + "/metrics")[2].decode()
    served = {series(sample.name, **sample.labels): sample.value
              for family in text_string_to_metric_families(text) for sample in family.samples}
    summary, [me] = fixed.summary, fixed.watched
    assert [q.recv_queue_bytes for q in me.queues if q.fd == peer.fileno()] == [1000]
    expected = {series(f"lumenstat_memory_{figure}_bytes"): getattr(summary.memory, figure)
                for figure in ("total", "available", "used", "free")}
    expected |= {series("lumenstat_cpu_seconds_total", cpu=str(cpu), mode=mode):
                 getattr(times, mode) / CLOCK_TICKS for cpu, times in enumerate(fixed.cpu_times)
                 for mode in ("user", "nice", "system", "idle")}
    expected |= {series(f"lumenstat_disk_{name}_total", device=d.device): getattr(d, field) / unit
                 for name, field, unit in DISK_SERIES for d in fixed.disk_io}
    expected |= {series(f"lumenstat_filesystem_{name}_bytes", device=d.device, fstype=d.fs_type,
                        mountpoint=d.mount_point): getattr(d, field)
                 for name, field in FILE_SYSTEM_SERIES for d in summary.disks}
    expected[series("lumenstat_processes")] = len(summary.processes)
    owner = {"pid": str(me.pid), "name": me.name}
    expected |= {series(f"lumenstat_process_socket_{name}_bytes", **owner, fd=str(q.fd),
                        protocol=q.protocol, local=q.local_addr, remote=q.remote_addr,
                        state=q.state): getattr(q, field)
                 for name, field in QUEUE_SERIES for q in me.queues}
    expected |= {series(f"lumenstat_process_connection_{name}_bytes_total", **owner, fd=str(c.fd),
                        protocol=c.protocol, local=c.local_addr, remote=c.remote_addr):
                 getattr(c, f"bytes_{name}") for name in ("sent", "received") for c in me.traffic
                 if c.remote_addr}
    assert {key: served.get(key) for key in expected} == expected
    for sock in (client, peer, server):
        sock.close()


def test_answers_in_the_format_asked_for_and_refusals():
    failing = [True]

    def reading():
        if failing[0]:
            raise lumenstat_report.SnapshotFailed("Io(Os { code: 24 })")
        return read_machine(lumenstat_report.take_snapshot, [])

    with serving(reading) as url:
        # A failed snapshot answers 500, and the server goes on.
        with pytest.raises(urllib.error.HTTPError) as failed:
            get(url + "/metrics")
        assert (failed.value.code, failed.value.read()) == (
            500, b"lumenstat: cannot take a snapshot: SnapshotFailed: Io(Os { code: 24 })\n")
        failing[0] = False
        _, headers, body = get(url + "/snapshot.json")
        doc = json.loads(body)
        assert (headers["Content-Type"], list(doc), doc["host"]) == ("application/json", getters(
            lumenstat.PySystemSummary) + ["disk_io_stats", "host", "taken_at"], os.uname().nodename)
        assert ([p for p in doc["processes"] if "command" in p], len(doc["cpu_usage"])) == (
            [], os.cpu_count())
        for path, kind in [("/", "text/html"), ("/app.js", "text/javascript"),
                           ("/style.css", "text/css")]:
            _, headers, body = get(url + path)
            assert headers["Content-Type"].startswith(kind) and body
            assert "script-src 'self'" in headers["Content-Security-Policy"]
        _, headers, body = get(url + "/metrics", {"Accept": OPENMETRICS + "; version=1.0.0"})
        assert headers["Content-Type"].startswith(OPENMETRICS) and body.endswith(b"# EOF\n")
        _, headers, body = get(url + "/metrics?name[]=lumenstat_processes")
        assert headers["Content-Type"].startswith("text/plain; version=0.0.4")
        assert b"\nlumenstat_memory_total_bytes " in body
        not_found = ["/metrics/", "/../app.js", "/%2e%2e/%2e%2e/etc/passwd", "/%2fetc%2fpasswd",
                     "//etc/passwd", "/index.html", "http://127.0.0.1/etc/passwd"]
        for request, status in [(f"GET {path} HTTP/1.0\r\n\r\n", "404") for path in not_found] + [
                ("POST /snapshot.json HTTP/1.0\r\n\r\n", "405"), ("HEAD / HTTP/1.0\r\n\r\n", "405"),
                ("POST /metrics HTTP/1.0\r\nContent-Length: 2\r\n\r\n{}", "405"),
                ("GARBAGE\r\n\r\n", "400"), ("GET /metrics HTTP/9.9\r\n\r\n", "505")]:
            assert exchange(url, request.encode()).startswith(f"HTTP/1.0 {status} ".encode())
        assert b"Allow: GET\r\n" in exchange(url, b"PUT /metrics HTTP/1.0\r\n\r\n")


def test_silent_slow_and_many_clients_all_get_their_answer():
    marks = []  # 1 as a reading begins, -1 as it ends

    def slow_reading():
        marks.append(1)
        time.sleep(0.3)  # long enough for the concurrent scrapes to arrive meanwhile
        marks.append(-1)
        return read_machine(lumenstat_report.take_snapshot, [])

    with serving(slow_reading, client_timeout=1.0) as url:
        address = urllib.parse.urlparse(url)
        silent = socket.create_connection((address.hostname, address.port))
        slow = exchange(url, b"GET /metrics HTTP/1.0\r\n\r\n", read_size=1024, pause=0.001)
        assert slow.startswith(b"HTTP/1.0 200 ") and slow.endswith(b"\n")
        marks.clear()
        with concurrent.futures.ThreadPoolExecutor(100) as scrapers:
            answers = list(scrapers.map(lambda _: get(url + "/metrics")[0], range(100)))
        assert answers == [200] * 100
        # One reading at a time, shared by the scrapes that wait for it.
        assert max(itertools.accumulate(marks)) == 1 and marks.count(1) < 10
        silent.settimeout(10)
        assert silent.recv(100) == b""  # dropped once its time was up
        silent.close()


@pytest.mark.parametrize("hide, args, status, line", [
    ("", ["--serve", ":9717"], 2, "report: --serve ':9717': write the address to listen on"),
    ("", ["--serve", "::1:9717"], 2, "--serve '::1:9717': write an IPv6 address in brackets"),
    ("", ["--serve", "127.0.0.1:65536"], 2, "--serve '127.0.0.1:65536': the port must be"),
    ("", ["--process", "1"], 2, "lumenstat-report: error: --top and --process go with --serve"),
    ("", ["--serve", "--json"], 2, "error: --serve does not go with --json or --watch"),
    ("sys.modules['prometheus_client'] = None; ", ["--serve"], 1, "report: --serve needs the "
     "Python package prometheus_client: pip install 'lumenstat[serve]' (on Debian and Ubuntu: "
     "apt-get install python3-prometheus-client)"),
])
def test_serve_arguments_that_stop_with_one_line(hide, args, status, line):
    run = (f"import sys, runpy; {hide}sys.argv = ['lumenstat-report', *sys.argv[1:]]; "
           f"runpy.run_path({str(REPORT)!r}, run_name='__main__')")
    done = subprocess.run([sys.executable, "-c", run, *args], capture_output=True, text=True,
                          timeout=30)
    assert (done.returncode, done.stdout) == (status, "")
    assert line in done.stderr.splitlines()[-1]


# A process name that is markup and quotes; the kernel keeps 15 bytes of a name, too few for a
# whole script element, so the closing tag is a short one.
MARKUP_NAME = "<script>\"'</b>"
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update"]


@contextmanager
def browser(tmp_path):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = tool("chromium", "chromium")
    for flag in CHROMIUM_FLAGS + [f"--user-data-dir={tmp_path / 'profile'}"]:
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(tool("chromedriver", "chromium-driver")),
                              options=options)
    try:
        yield driver
    finally:
        driver.quit()


# The page redraws every second, replacing its rows: each reading is one script, run between two
# redraws.
TABLE = """return [...document.querySelectorAll(arguments[0])].map(row =>
    [row.dataset.pid || row.dataset.state || "", ...[...row.cells].map(c => c.textContent)])"""


@pytest.mark.real
def test_the_page_shows_the_machine_in_a_real_browser(tmp_path, child):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    holder = child([sys.executable, "-c", HOLDER, MARKUP_NAME.encode().hex()],
                   stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    listener = f"127.0.0.1:{int(holder.stdout.readline())}"
    with browser(tmp_path) as driver, exporter() as url:
        page = driver.execute_script
        driver.get(url + "/")
        WebDriverWait(driver, 20, poll_frequency=0.1).until(
            lambda _: int(page("return document.body.dataset.redraws || 0")) >= 2)
        assert ["", "tcp", listener, str(holder.pid), MARKUP_NAME] in page(
            TABLE, "#listeners tbody tr")
        driver.find_element(By.ID, "process-filter").send_keys(str(holder.pid))
        assert [row[:3] for row in page(TABLE, "#processes tbody tr")] == [
            [str(holder.pid), str(holder.pid), MARKUP_NAME]]
        # Text, not markup: no element came out of any name.
        assert page("return document.querySelectorAll('tbody script, tbody b').length") == 0
        assert [entry for entry in driver.get_log("browser") if entry["level"] == "SEVERE"] == []
