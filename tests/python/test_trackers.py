"""Trackers as a user meets them: reports from a child tree, sockets and queues this test makes,
stop() from every place it can be called, bad callbacks, and interpreter exit with trackers
running. Scenarios that could hang run in a child interpreter with a time limit."""

import concurrent.futures
import gc
import os
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time
import weakref

import pytest

import lumenstat
from conftest import address_text, resources, wait_until

ME = os.getpid()
CYCLE = 0.5
# Thread creation and teardown are many times slower under the thread sanitizer.
PATIENCE = 4 if sys.executable.endswith("-sanitized") else 1
STARTS = [lumenstat.start_tracking_children, lumenstat.start_tracking_sockets,
          lumenstat.start_tracking_queues]


def thread_ids():
    """The ids of this process's threads. A test checks that the threads it started are gone by
    the set of ids being within the one from before it: a stopped tracker of an earlier test may
    end meanwhile, so comparing counts would fail for no fault of the test's own."""
    return set(os.listdir("/proc/self/task"))


@pytest.fixture
def trackers():
    started = []
    yield lambda tracker: started.append(tracker) or tracker
    for tracker in started:
        tracker.stop()


def run_python(code, timeout=60, args=(), env=None):
    """Runs a script in a fresh interpreter: a hang fails the test instead of hanging it."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args],
                          capture_output=True, text=True, timeout=timeout * PATIENCE, env=env)


def test_reports_reach_the_callback_as_the_documented_payloads(child, trackers):
    # Which processes and sockets are reported, and when, is checked over the fake system
    # (tests/core/tracker_test.cpp); here the payloads the live system gives.
    parent = child([sys.executable, "-c", "import subprocess, time; print(subprocess.Popen("
                    "['sleep', '60']).pid, flush=True); time.sleep(60)"],
                   stdout=subprocess.PIPE, text=True)
    sleeper_pid = int(parent.stdout.readline())  # once the child has become sleep
    listener = socket.create_server(("127.0.0.1", 0))
    client = socket.create_connection(listener.getsockname())
    server, _ = listener.accept()
    client.sendall(b"x" * 1234)
    listening, connected = address_text(listener.getsockname()), address_text(client.getsockname())
    # A list's append is a callback that records its payloads; list() copies them at any time.
    children, sockets, queues = [], [], []
    trackers(lumenstat.start_tracking_children(parent.pid, children.append))
    trackers(lumenstat.start_tracking_sockets(ME, sockets.append))
    trackers(lumenstat.start_tracking_queues(ME, queues.append))
    keys = lambda: {(d["local_addr"], d["state"]): d for d in list(sockets)}  # noqa: E731
    assert wait_until(lambda: children and len(queues) >= 2 and {
        (listening, "LISTEN"), (connected, "ESTABLISHED")} <= set(keys()), timeout=10 * PATIENCE)
    [sleeper] = list(children)
    assert list(sleeper) == ["pid", "ppid", "name", "cmdline", "exe_path", "start_time"]
    assert (sleeper["pid"], sleeper["ppid"], sleeper["name"], sleeper["cmdline"]) == (
        sleeper_pid, parent.pid, "sleep", ["sleep", "60"])
    assert sleeper["exe_path"] == "sleep" and abs(sleeper["start_time"] - time.time()) < 60
    assert keys()[listening, "LISTEN"] == {"protocol": "tcp", "local_addr": listening,
                                           "remote_addr": "", "state": "LISTEN", "pid": ME,
                                           "inode": 0}
    assert keys()[connected, "ESTABLISHED"]["remote_addr"] == listening
    mine = [q for q in queues[-1] if q.fd == server.fileno()]
    assert type(mine[0]) is lumenstat.PySocketQueueInfo and mine[0].recv_queue_bytes == 1234
    for sock in (listener, client, server):
        sock.close()


def test_gone_process_keeps_polling_without_leaking(trackers):
    gone = 4294967295  # beyond any pid_max
    queues, others = [], []
    for _ in range(20):
        trackers(lumenstat.start_tracking_queues(gone, queues.append))
        trackers(lumenstat.start_tracking_children(gone, others.append))
        trackers(lumenstat.start_tracking_sockets(gone, others.append))
    time.sleep(CYCLE)
    blocks, fds, _ = resources()
    calls_before = len(queues)
    time.sleep(5 * CYCLE)
    gc.collect()
    blocks_after, fds_after, _ = resources()
    assert len(queues) - calls_before >= 2 * 20  # about two lists a second from each
    assert all(q == [] for q in list(queues)) and others == []
    # 60 trackers and 5 cycles: a leak per cycle would be hundreds; polls under way hold a few.
    assert fds_after - fds < 30
    assert blocks_after - blocks < 2000


def test_bad_arguments_start_no_thread_and_stop_ends_it_releasing_the_callback():
    class Callback:
        def __call__(self, payload):
            pass

    callback = Callback()
    ref = weakref.ref(callback)
    before = thread_ids()
    # The texts are the argument matcher's, checked in test_module_surface.py.
    for start in STARTS:
        for args, kwargs, exception in (((2**32, print), {}, OverflowError),
                                        (("1", print), {}, TypeError), ((ME,), {}, TypeError),
                                        ((), {"pid": ME, "cb": print}, TypeError)):
            with pytest.raises(exception):
                start(*args, **kwargs)
    assert thread_ids() <= before
    trackers = [start(ME, callback) for start in STARTS for _ in range(3)]
    del callback
    for tracker in trackers:
        assert tracker.stop() is None and tracker.stop() is None
    for _ in range(200):
        lumenstat.start_tracking_queues(ME, print).stop()
    assert wait_until(lambda: thread_ids() <= before, timeout=5 * PATIENCE)
    lumenstat.start_tracking_queues(ME, print).stop()  # module code that releases pending references
    assert ref() is None


OUT_OF_MEMORY = """
import ctypes, os, socket, subprocess, sys, time, weakref
import lumenstat

fail_allocations = ctypes.CDLL(None).fail_allocations_on_this_thread
kind, when = sys.argv[1:]
sleeper = subprocess.Popen(["sleep", "60"]) if kind == "children" else None
# Addresses too long for a string's inline buffer: their texts are allocated.
listeners = [socket.create_server(("127.100.100.100", 0))
             for _ in range(2 if when == "payload" else 1 if kind == "sockets" else 0)]
own = {}

class Callback:
    calls = 0
    def __call__(self, payload):
        Callback.calls += 1
        if Callback.calls == 1:
            # "payload": the next report's key is allocated, its payload is not.
            fail_allocations(1 if when == "payload" else 0)
            if when == "ending":
                own["tracker"].stop()

callback = Callback()
released = weakref.ref(callback)
own["tracker"] = getattr(lumenstat, "start_tracking_" + kind)(os.getpid(), callback)
del callback
deadline = time.monotonic() + 20
while len(os.listdir("/proc/self/task")) > 1 and time.monotonic() < deadline:
    time.sleep(0.05)
own["tracker"].stop()  # module code, which releases what an ended thread left behind
print(len(os.listdir("/proc/self/task")), Callback.calls, released() is None)
if sleeper:
    sleeper.kill()
"""


@pytest.mark.parametrize("kind, when, diagnostic", [
    # A stopped tracker's thread lets go of the callback as it ends.
    ("queues", "ending", ""),
    ("children", "ending", ""),
    ("sockets", "ending", ""),
    ("children", "poll", "std::bad_alloc"),
    # The payload is built holding the interpreter lock, which must be given back.
    ("sockets", "payload", "cannot allocate a payload"),
])
def test_failed_allocations_on_a_tracker_thread_end_it_without_harm(failing_new, kind, when,
                                                                    diagnostic):
    done = run_python(OUT_OF_MEMORY, args=(kind, when), env=failing_new)
    expected_stderr = f"lumenstat: tracker thread ended: {diagnostic}\n" if diagnostic else ""
    assert (done.returncode, done.stderr, done.stdout) == (0, expected_stderr, "1 1 True\n")


HAZARDS = """
import os, sys, threading, time
import lumenstat

me = os.getpid()
calls = {"stopper": 0, "raiser": 0, "sleeper": 0, "spawner": 0, "kept": 0}
own = {}
spawned = []

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

def kept(payload):
    calls["kept"] += 1

own["stopper"] = lumenstat.start_tracking_queues(me, stopper)
trackers = [lumenstat.start_tracking_queues(me, f) for f in (raiser, sleeper, spawner, 42)]
lumenstat.start_tracking_queues(me, kept)  # dropped at once: keeps running
# Python threads stop trackers whose deliveries wait for the interpreter lock they hold.
busy = [lumenstat.start_tracking_queues(me, lambda p: sum(range(1000))) for _ in range(40)]
def stop_some(part):
    for tracker in part:
        x = sum(range(20000))
        tracker.stop()
workers = [threading.Thread(target=stop_some, args=(busy[i::4],)) for i in range(4)]
time.sleep(0.2)
for w in workers:
    w.start()
for w in workers:
    w.join()
time.sleep(1.6)
snapshot = dict(calls)
for t in trackers + spawned:
    t.stop()
print(snapshot["stopper"], snapshot["raiser"] >= 3, snapshot["sleeper"] >= 3,
      snapshot["spawner"] >= 3, len(spawned), snapshot["kept"] >= 3)
"""


def test_stop_inside_callbacks_and_from_threads_and_bad_callbacks_never_break_anything():
    done = run_python(HAZARDS)
    assert (done.returncode, done.stderr, done.stdout) == (0, "", "1 True True True 1 True\n")


SHUTDOWN = """
import atexit, os, subprocess, sys, time, warnings
import lumenstat

how = sys.argv[1]
me = os.getpid()
reports = []

def while_exiting():
    # Registered before any tracker: reports go on until the interpreter finalizes.
    if os.getpid() != me:
        return
    before = len(reports)
    deadline = time.monotonic() + 10
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
if how == "raise":
    raise SystemExit(4)
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
SHUTDOWN_RUNS = int(os.environ.get("LUMENSTAT_SHUTDOWN_RUNS", "12"))


def test_interpreter_exit_with_trackers_running_is_prompt_and_silent():
    expected = {"return": 0, "exit": 3, "raise": 4, "fork": 5}
    # A poll under way when the process exits still owns the helper thread its socket walk
    # started: the thread sanitizer would call that a leak.
    env = dict(os.environ)
    env["TSAN_OPTIONS"] = env.get("TSAN_OPTIONS", "") + " report_thread_leaks=0"
    # The runs mostly wait: a few run side by side, each exiting at its own moment.
    def run(how):
        done = run_python(SHUTDOWN, timeout=30, args=(how,), env=env)
        return done.returncode, done.stderr, done.stdout

    hows = [list(expected)[i % len(expected)] for i in range(SHUTDOWN_RUNS)]
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        assert list(pool.map(run, hows)) == [
            (expected[how], "", "reports while exiting: True\n") for how in hows]


@pytest.mark.parametrize("end", ["ctrl-c", "exit"])
def test_watch_command_follows_a_process_until_ctrl_c_or_its_exit(child, end):
    watched = child([sys.executable, "-c", "import socket, subprocess, time;"
                     " s = socket.create_server(('127.0.0.1', 0));"
                     " c = socket.create_connection(s.getsockname()); a, _ = s.accept();"
                     " c.sendall(b'x' * 5000); a.recv(5000, socket.MSG_WAITALL);"
                     " print(s.getsockname()[1], c.fileno(), flush=True);"
                     " p = subprocess.Popen(['sleep', '60']); time.sleep(60)"],
                    stdout=subprocess.PIPE, text=True)
    port, client_fd = map(int, watched.stdout.readline().split())
    tool = os.path.join(os.path.dirname(__file__), "..", "..", "tools", "watch.py")
    watcher = child([sys.executable, tool, str(watched.pid)], stdout=subprocess.PIPE, text=True)
    seen = []
    deadline = threading.Timer(30 * PATIENCE, watcher.kill)  # ends the reads below: no hang
    deadline.start()
    traffic = f"traffic fd {client_fd:<4} tcp   127.0.0.1:"
    while not (any(line.startswith("child") for line in seen)
               and any(f"127.0.0.1:{port} LISTEN" in line for line in seen)
               and any(line.startswith("queues") for line in seen)
               and any(line.startswith(traffic) for line in seen)):
        line = watcher.stdout.readline()
        assert line, seen
        seen.append(line)
    assert seen[0].startswith(f"watching pid {watched.pid} ")
    assert any("sleep: sleep 60" in line for line in seen)
    assert [line.split(" -> ")[1] for line in seen if line.startswith(traffic)] == [
        f"127.0.0.1:{port}: sent 5000 B, received 0 B\n"]
    if end == "ctrl-c":
        watcher.send_signal(signal.SIGINT)
    else:
        watched.kill()  # left unreaped: a zombie has exited as well
        assert watcher.stdout.read().endswith(f"pid {watched.pid} exited\n")
    assert watcher.wait(timeout=10 * PATIENCE) == 0
    deadline.cancel()
