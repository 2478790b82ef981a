"""Trackers as a user meets them: live payloads, stop() from every place it can be called, bad
callbacks and interpreter exit with trackers running. Scenarios that could hang run in a child
interpreter with a time limit."""

import concurrent.futures
import gc
import os
import socket
import subprocess
import sys
import textwrap
import time
import weakref

import pytest

import lumenstat
from conftest import address_text, resources, wait_until

ME = os.getpid()
# Thread creation and teardown are many times slower under the thread sanitizer.
PATIENCE = 4 if sys.executable.endswith("-sanitized") else 1
STARTS = [lumenstat.start_tracking_children, lumenstat.start_tracking_sockets,
          lumenstat.start_tracking_queues]


def thread_ids():
    # A stopped tracker of an earlier test may end meanwhile: compare sets of ids, not counts.
    return set(os.listdir("/proc/self/task"))


def run_python(code, *args, timeout=60, env=None):
    """(status, stderr, stdout) of a script in a fresh interpreter: a hang fails the test."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args],
                          capture_output=True, text=True, timeout=timeout * PATIENCE, env=env)
    return done.returncode, done.stderr, done.stdout


def test_reports_reach_the_callback_as_the_documented_payloads(child, request):
    # Which processes and sockets are reported, and when, is checked over the fake system; here
    # the payloads the live system gives (the queue tracker's: docs/api.md's example).
    parent = child([sys.executable, "-c", "import subprocess, time; print(subprocess.Popen("
                    "['sleep', '60']).pid, flush=True); time.sleep(60)"],
                   stdout=subprocess.PIPE, text=True)
    sleeper_pid = int(parent.stdout.readline())  # once the child has become sleep
    listener = socket.create_server(("127.0.0.1", 0))
    client = socket.create_connection(listener.getsockname())
    listening, connected = address_text(listener.getsockname()), address_text(client.getsockname())
    children, sockets = [], []  # list() copies what the appends recorded at any time
    request.addfinalizer(lumenstat.start_tracking_children(parent.pid, children.append).stop)
    request.addfinalizer(lumenstat.start_tracking_sockets(ME, sockets.append).stop)
    keys = lambda: {(d["local_addr"], d["state"]): d for d in list(sockets)}  # noqa: E731
    assert wait_until(lambda: children and {(listening, "LISTEN"), (connected, "ESTABLISHED")}
                      <= set(keys()), timeout=10 * PATIENCE)
    [sleeper] = list(children)
    assert abs(sleeper.pop("start_time") - time.time()) < 60
    assert list(sleeper.items()) == [("pid", sleeper_pid), ("ppid", parent.pid), ("name", "sleep"),
                                     ("cmdline", ["sleep", "60"]), ("exe_path", "sleep")]
    assert keys()[listening, "LISTEN"] == {"protocol": "tcp", "local_addr": listening,
                                           "remote_addr": "", "state": "LISTEN", "pid": ME,
                                           "inode": 0}
    assert keys()[connected, "ESTABLISHED"]["remote_addr"] == listening
    listener.close()
    client.close()


def test_trackers_of_a_gone_process_poll_on_and_stop_ends_them_leaking_nothing():
    before = thread_ids()
    calls = []
    callback = lambda payload: calls.append(payload)  # noqa: E731
    released = weakref.ref(callback)
    started = [start(2**32 - 1, callback) for start in STARTS for _ in range(20)]  # beyond pid_max
    del callback
    time.sleep(0.5)
    blocks, fds, _ = resources()
    calls_before = len(calls)
    time.sleep(2.5)
    gc.collect()
    blocks_after, fds_after, _ = resources()
    # Empty queue lists only, about two a second from each queue tracker.
    assert len(calls) - calls_before >= 2 * 20 and all(c == [] for c in list(calls))
    # 60 trackers and 5 cycles: a leak per cycle would be hundreds; polls under way hold a few.
    assert fds_after - fds < 30 and blocks_after - blocks < 2000
    assert [(tracker.stop(), tracker.stop()) for tracker in started] == [(None, None)] * 60
    for _ in range(200):
        lumenstat.start_tracking_queues(ME, print).stop()
    assert wait_until(lambda: thread_ids() <= before, timeout=5 * PATIENCE)
    lumenstat.start_tracking_queues(ME, print).stop()  # module code: pending references go
    assert released() is None


HAZARDS = """
import collections, concurrent.futures, os, time
import lumenstat
me, calls, own, spawned = os.getpid(), collections.Counter(), {}, []
def stopper(payload):
    calls["stopper"] += 1
    own["stopper"].stop()
    own["stopper"].stop()
def raiser(payload):
    calls["raiser"] += 1
    raise RuntimeError("every time")
def sleeper(payload):
    calls["sleeper"] += 1
    time.sleep(0.3)
def spawner(payload):
    calls["spawner"] += 1
    if calls["spawner"] == 1:
        spawned.append(lumenstat.start_tracking_queues(me, lambda p: None))
own["stopper"] = lumenstat.start_tracking_queues(me, stopper)
trackers = [lumenstat.start_tracking_queues(me, f) for f in (raiser, sleeper, spawner, 42)]
lumenstat.start_tracking_queues(me, lambda p: calls.update(["kept"]))  # dropped at once: runs on
# Python threads stop trackers whose deliveries wait for the interpreter lock they hold.
busy = [lumenstat.start_tracking_queues(me, lambda p: sum(range(1000))) for _ in range(40)]
def stop_some(part):
    for tracker in part:
        sum(range(20000))
        tracker.stop()
time.sleep(0.2)
with concurrent.futures.ThreadPoolExecutor(4) as pool:
    list(pool.map(stop_some, (busy[i::4] for i in range(4))))
time.sleep(1.6)
snapshot = dict(calls)
for t in trackers + spawned:
    t.stop()
print(snapshot["stopper"], min(snapshot[k] for k in ("raiser", "sleeper", "spawner", "kept")) >= 3,
      len(spawned))
"""


def test_stop_inside_callbacks_and_from_threads_and_bad_callbacks_never_break_anything():
    assert run_python(HAZARDS) == (0, "", "1 True 1\n")


OUT_OF_MEMORY = """
import ctypes, os, socket, subprocess, sys, time, weakref
import lumenstat

fail_allocations = ctypes.CDLL(None).fail_allocations_on_this_thread
kind, when = sys.argv[1:]
sleeper = subprocess.Popen(["sleep", "60"]) if kind == "children" else None
# Addresses too long for a string's inline buffer: their texts are allocated.
listeners = [socket.create_server(("127.100.100.100", 0))
             for _ in range(2 if when == "payload" else 1 if kind == "sockets" else 0)]
own, calls = {}, []

def callback(payload):
    calls.append(1)
    if len(calls) == 1:  # "payload": the next report's key is allocated, its payload is not
        fail_allocations(1 if when == "payload" else 0)
        if when == "ending":
            own["tracker"].stop()

released = weakref.ref(callback)
own["tracker"] = getattr(lumenstat, "start_tracking_" + kind)(os.getpid(), callback)
del callback
deadline = time.monotonic() + 20
while len(os.listdir("/proc/self/task")) > 1 and time.monotonic() < deadline:
    time.sleep(0.05)
own["tracker"].stop()  # module code, which releases what an ended thread left behind
print(len(os.listdir("/proc/self/task")), len(calls), released() is None)
sleeper and sleeper.kill()
"""


# A stopped tracker's thread lets go of the callback as it ends; a payload is built holding the
# interpreter lock, which must be given back.
@pytest.mark.parametrize("kind, when, diagnostic", [
    ("queues", "ending", ""), ("children", "ending", ""), ("sockets", "ending", ""),
    ("children", "poll", "std::bad_alloc"), ("sockets", "payload", "cannot allocate a payload")])
def test_failed_allocations_on_a_tracker_thread_end_it_without_harm(failing_new, kind, when,
                                                                    diagnostic):
    done = run_python(OUT_OF_MEMORY, kind, when, env=failing_new)
    expected_stderr = f"lumenstat: tracker thread ended: {diagnostic}\n" if diagnostic else ""
    assert done == (0, expected_stderr, "1 1 True\n")


SHUTDOWN = """
import atexit, os, subprocess, sys, time, warnings
import lumenstat
how, me, reports = sys.argv[1], os.getpid(), []
def while_exiting():
    # Registered before any tracker: reports go on until the interpreter finalizes.
    if os.getpid() == me:
        before, deadline = len(reports), time.monotonic() + 10
        while len(reports) == before and time.monotonic() < deadline:
            time.sleep(0.05)
        print("reports while exiting:", len(reports) > before)
atexit.register(while_exiting)
sleeper = subprocess.Popen(["sleep", "5"])
def busy(payload):
    time.sleep(0.2)  # callbacks that have given the interpreter lock up when it finalizes
keep = [start(pid, busy) for start in (lumenstat.start_tracking_children,
        lumenstat.start_tracking_sockets, lumenstat.start_tracking_queues)
        for pid in (me, sleeper.pid)]
keep += [lumenstat.start_tracking_queues(me, busy) for _ in range(10)]
keep.append(lumenstat.start_tracking_queues(me, reports.append))
time.sleep(0.05 * (me % 7))
sleeper.kill()
class Slow:
    def __del__(self):
        time.sleep(0.3)  # module teardown, when waking callbacks meet the finalizing interpreter
slow = Slow()
if how == "exit":
    sys.exit(3)
if how == "fork":
    # Tracker threads wait for the interpreter lock that this thread keeps while it forks.
    warnings.simplefilter("ignore", DeprecationWarning)
    sys.setswitchinterval(100)
    end = time.monotonic() + 0.7
    while time.monotonic() < end:
        pass
    forked = os.fork()
    if forked == 0:
        sys.exit(5)
    sys.setswitchinterval(0.005)
    deadline = time.monotonic() + 20
    while not (ended := os.waitpid(forked, os.WNOHANG))[0] and time.monotonic() < deadline:
        time.sleep(0.05)
    if not ended[0]:
        os.kill(forked, 9)
    sys.exit(os.waitstatus_to_exitcode(ended[1]) if ended[0] else "forked child hangs at exit")
"""


def test_interpreter_exit_with_trackers_running_is_prompt_and_silent():
    expected = {"return": 0, "exit": 3, "fork": 5}
    # A poll under way at exit still owns the helper thread its socket walk started: the thread
    # sanitizer would call that a leak.
    env = dict(os.environ,
               TSAN_OPTIONS=os.environ.get("TSAN_OPTIONS", "") + " report_thread_leaks=0")
    runs = int(os.environ.get("LUMENSTAT_SHUTDOWN_RUNS", "12"))
    hows = [list(expected)[i % len(expected)] for i in range(runs)]
    # The runs mostly wait: a few run side by side, each exiting at its own moment.
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        assert list(pool.map(lambda how: run_python(SHUTDOWN, how, timeout=30, env=env), hows)) == [
            (expected[how], "", "reports while exiting: True\n") for how in hows]
