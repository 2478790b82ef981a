"""Prints a report of this machine from one lumenstat snapshot (a PySystemSummary).

The report shows memory, the CPU with a usage bar per logical CPU, the mounted file systems with a
use bar each, the disk counters, the sockets with the listeners, and the processes using most
memory. `--json` prints the same snapshot as one JSON document; `--watch SECONDS` redraws the
report in place every SECONDS until interrupted; `--serve [HOST:]PORT` serves the figures to
Prometheus instead (the package lumenstat_serve, beside this module).

Each section is one function that takes the snapshot and the line width and returns its lines; add
a section by writing such a function and listing it in SECTIONS. A command of its own (such as
`report.py NAME ARGS`) is a function that adds its subparser and is listed in COMMANDS.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import shutil
import signal
import sys
import time
import types

import lumenstat

TOP_PROCESSES = 10
SERVE_PORT = 9717  # not among the ports commonly given to exporters
SAMPLE_MS = 500
BAR_MIN = 10


class SnapshotFailed(Exception):
    """The snapshot could not be taken (the module raised its FatalError)."""


def take_snapshot(sample_ms: int) -> lumenstat.PySystemSummary:
    try:
        return lumenstat.PySystemSummary(sample_ms)
    except Exception:
        raise
    except BaseException as error:
        # The module's FatalError derives from BaseException and is not a module attribute.
        if type(error).__name__ != "FatalError":
            raise
        raise SnapshotFailed(str(error)) from error


def disk_counters() -> list:
    """Block-storage counters are not part of the snapshot: read right after it."""
    return lumenstat.py_get_disk_io_stats()


# ----------------------------------------------------------------------------- text helpers


def human_bytes(count: int) -> str:
    units = ["B", "KiB", "MiB", "GiB", "TiB", "PiB"]
    value = float(count)
    for unit in units:
        if value < 1024 or unit == units[-1]:
            break
        value /= 1024
    return f"{count} B" if unit == "B" else f"{value:.1f} {unit}"


def printable(text: str) -> str:
    """Names and command lines are whatever bytes a process chose; keep the table on its lines."""
    return "".join(c if c.isprintable() else "?" for c in text)


def fit(text: str, width: int) -> str:
    if width <= 0:
        return ""
    if len(text) <= width:
        return text
    return text[: max(width - 3, 0)] + "..."[:width]


def bar(percent: float, width: int) -> str:
    filled = min(max(round(percent / 100.0 * width), 0), width)
    return f"[{'#' * filled:<{width}}]"


# ----------------------------------------------------------------------------- sections


def memory_section(snapshot, width: int) -> list[str]:
    info = snapshot.memory
    rows = [("total", info.total), ("available", info.available), ("used", info.used),
            ("free", info.free)]
    lines = [f"  {label:<10} {human_bytes(value):>11}   {value:>20,} bytes" for label, value in rows]
    lines.append(f"  {'usage':<10} {bar(info.usage_percent, max(width - 24, BAR_MIN))}"
                 f" {info.usage_percent:5.1f} %")
    return lines


def cpu_section(snapshot, width: int) -> list[str]:
    info = snapshot.cpu
    frequency = f"{info.frequency_mhz} MHz" if info.frequency_mhz else "unknown"
    lines = [
        f"  {'model':<10} {printable(info.model_name) or 'unknown'} ({printable(info.vendor)})",
        f"  {'cores':<10} {info.physical_cores} physical, {info.logical_cores} logical",
        f"  {'frequency':<10} {frequency}",
    ]
    bar_width = max(width - 24, BAR_MIN)
    for cpu, percent in enumerate(snapshot.cpu_usage):
        lines.append(f"  cpu{cpu:<4} {bar(percent, bar_width)} {percent:5.1f} %")
    return lines


def file_systems_section(snapshot, width: int) -> list[str]:
    disks = snapshot.disks
    if not disks:
        return ["  no disk-backed file systems mounted"]
    name_width = min(max(len(printable(d.mount_point)) for d in disks), 24)
    bar_width = max(width - name_width - 56, BAR_MIN)
    lines = []
    for d in disks:
        lines.append(
            f"  {fit(printable(d.mount_point), name_width):<{name_width}} "
            f"{bar(d.usage_percent, bar_width)} {d.usage_percent:5.1f} %"
            f"  {human_bytes(d.used_bytes):>10} of {human_bytes(d.total_bytes):>10},"
            f" {human_bytes(d.available_bytes):>10} free"
        )
        lines.append(f"  {'':<{name_width}} {printable(d.fs_type)} on {printable(d.device)}")
    return lines


def disk_counters_section(snapshot, width: int) -> list[str]:
    counters = disk_counters()
    if not counters:
        return ["  no block-storage driver has counted any I/O"]
    lines = [f"  {'DEVICE':<8} {'READS':>12} {'READ':>11} {'WRITES':>12} {'WRITTEN':>11}"
             f" {'READ TIME':>12} {'WRITE TIME':>12}"]
    for d in counters:
        # The time counters carry nanoseconds, as the drivers count them.
        lines.append(
            f"  {printable(d.device):<8} {d.reads:>12,} {human_bytes(d.bytes_read):>11}"
            f" {d.writes:>12,} {human_bytes(d.bytes_written):>11}"
            f" {d.read_time_ms / 1e9:>10.1f} s {d.write_time_ms / 1e9:>10.1f} s"
        )
    return lines


def sockets_section(snapshot, width: int) -> list[str]:
    summary = snapshot.socket_summary
    listening = snapshot.get_connection_by_state("LISTEN")
    names = {p.pid: p.name for p in snapshot.processes}
    lines = [
        f"  {summary.total} sockets: {summary.established} established, {summary.listen} listening,"
        f" {summary.time_wait} in TIME_WAIT, {summary.close_wait} in CLOSE_WAIT",
        f"  listening sockets ({len(listening)}):",
        f"  {'PROTO':<6}  {'LOCAL ADDRESS':<40}  {'PID':>7}  PROCESS",
    ]
    for conn in sorted(listening, key=lambda c: (c.protocol, c.local_addr, c.pid)):
        owner = printable(names.get(conn.pid, "?")) if conn.pid else "-"
        lines.append(f"  {conn.protocol:<6}  {conn.local_addr:<40}  {conn.pid:>7}  {owner}")
    return lines


def top_processes_section(snapshot, width: int) -> list[str]:
    processes = snapshot.processes
    top = sorted(processes, key=lambda p: p.memory_usage, reverse=True)[:TOP_PROCESSES]
    lines = [
        f"  {snapshot.process_count} processes; the {len(top)} using most memory:",
        f"  {'PID':>7}  {'NAME':<16}  {'STATUS':<8}  {'MEMORY':>10}  COMMAND",
    ]
    for p in top:
        command = printable(p.command) or f"[{printable(p.name)}]"
        lines.append(
            f"  {p.pid:>7}  {fit(printable(p.name), 16):<16}  {p.status:<8}"
            f"  {human_bytes(p.memory_usage):>10}  {command}"
        )
    return lines


SECTIONS = [
    ("Memory", memory_section),
    ("CPU", cpu_section),
    ("File systems", file_systems_section),
    ("Disks", disk_counters_section),
    ("Sockets", sockets_section),
    ("Processes", top_processes_section),
]


def render(snapshot, width: int) -> tuple[list[str], int]:
    """The report's lines, and how many sections could not be shown."""
    now = datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M:%S %Z")
    lines = [f"lumenstat report for {os.uname().nodename}, {now}"]
    failed = 0
    for title, section in SECTIONS:
        try:
            body = section(snapshot, width)
        except Exception as error:  # one failed query must not hide the other sections
            failed += 1
            body = [f"  unavailable: {type(error).__name__}: {error}"]
        lines += ["", title] + body
    return [fit(line, width) for line in lines], failed


# ----------------------------------------------------------------------------- JSON


def attribute_names(cls: type) -> list[str]:
    """The read-only attributes of a lumenstat class, in declaration order."""
    return [name for name, value in vars(cls).items()
            if isinstance(value, types.GetSetDescriptorType)]


def plain(value):
    """A lumenstat object, list or value as JSON-ready data: objects become dicts of every
    attribute; numbers stay numbers."""
    if isinstance(value, list):
        return [plain(item) for item in value]
    if isinstance(value, (int, float, str, bool)) or value is None:
        return value
    return {name: plain(getattr(value, name)) for name in attribute_names(type(value))}


def document(snapshot, disk_io: list | None = None) -> dict:
    """The snapshot and the disk counters (read now, unless given) as JSON-ready data."""
    data = plain(snapshot)
    data["disk_io_stats"] = plain(disk_counters() if disk_io is None else disk_io)
    return data


# ----------------------------------------------------------------------------- output


def terminal_width() -> int:
    return max(shutil.get_terminal_size((100, 24)).columns, 40)


def report_once(args) -> int:
    snapshot = take_snapshot(SAMPLE_MS)
    if args.json:
        print(json.dumps(document(snapshot), indent=2, allow_nan=False))
        return 0
    lines, failed = render(snapshot, terminal_width())
    print("\n".join(lines))
    return 1 if failed else 0


# Alternate screen and hidden cursor while watching; both are undone on the way out.
ENTER_SCREEN = "\x1b[?1049h\x1b[?25l"
LEAVE_SCREEN = "\x1b[?25h\x1b[?1049l"
HOME = "\x1b[H"
CLEAR_LINE_END = "\x1b[K"
CLEAR_BELOW = "\x1b[J"


def watch(args) -> int:
    """Redraws until interrupted. On a terminal the frame is drawn in place; into a pipe or file
    each frame follows the last (with --json, one document per line)."""
    interval = args.watch
    # The CPU sample is at most half a second, so that Ctrl-C is never held up longer; the rest
    # of the interval is spent sleeping where Python can be interrupted.
    sample_ms = min(round(interval * 1000), SAMPLE_MS)
    in_place = sys.stdout.isatty() and not args.json
    out = sys.stdout
    # A termination request ends the watch as Ctrl-C does, with the terminal restored.
    previous_handler = signal.signal(signal.SIGTERM, interrupt)
    if in_place:
        out.write(ENTER_SCREEN)
    try:
        while True:
            started = time.monotonic()
            snapshot = take_snapshot(sample_ms)
            if args.json:
                out.write(json.dumps(document(snapshot), allow_nan=False) + "\n")
            elif in_place:
                size = shutil.get_terminal_size((100, 24))
                lines, _ = render(snapshot, max(size.columns, 40))
                lines = lines[: max(size.lines, 1)]
                out.write(HOME + (CLEAR_LINE_END + "\n").join(lines) + CLEAR_LINE_END + CLEAR_BELOW)
            else:
                lines, _ = render(snapshot, terminal_width())
                out.write("\n".join(lines) + "\n\n")
            out.flush()
            time.sleep(max(interval - (time.monotonic() - started), 0))
    except KeyboardInterrupt:
        return 0
    finally:
        signal.signal(signal.SIGTERM, previous_handler)
        if in_place:
            out.write(LEAVE_SCREEN)
            out.flush()


def interrupt(signum, frame):
    raise KeyboardInterrupt


SERVE_NEEDS = ("--serve needs the Python package prometheus_client: pip install 'lumenstat[serve]'"
               " (on Debian and Ubuntu: apt-get install python3-prometheus-client)")


def serve(args) -> int:
    try:
        import lumenstat_serve
    except ImportError as error:
        if not (error.name or "").startswith("prometheus_client"):
            raise
        print(f"report: {SERVE_NEEDS}", file=sys.stderr)
        return 1
    previous_handler = signal.signal(signal.SIGTERM, interrupt)
    try:
        return lumenstat_serve.serve(args.serve, args.process, args.top, take_snapshot,
                                     document)
    finally:
        signal.signal(signal.SIGTERM, previous_handler)


def report_command(args) -> int:
    if args.serve is not None:
        return serve(args)
    return watch(args) if args.watch is not None else report_once(args)


def positive_seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds: {text!r}")
    return value


# Functions that each add one command: add_command(subparsers) calls subparsers.add_parser(...)
# and sets `run` to the function that carries the command out (given the parsed arguments,
# returning the exit status).
COMMANDS: list = []


def positive_integer(text: str) -> int:
    if not text.isdigit() or int(text) == 0:
        raise argparse.ArgumentTypeError(f"must be a whole number above 0: {text!r}")
    return int(text)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        description="A report of this machine from one lumenstat snapshot: memory, CPU, file "
        f"systems, disks, sockets and the {TOP_PROCESSES} processes using most memory. The exit "
        "status is 1 when the snapshot or a section could not be read; --watch ends with 0 when "
        "interrupted.",
    )
    parser.add_argument("--json", action="store_true",
                        help="print the snapshot (every attribute of PySystemSummary) and the disk "
                        "counters as one JSON document instead of the text report")
    parser.add_argument("--watch", metavar="SECONDS", type=positive_seconds,
                        help="take a new snapshot every SECONDS and redraw the report in place "
                        "until interrupted (Ctrl-C ends it)")
    serving = parser.add_argument_group("serving over HTTP")
    serving.add_argument("--serve", metavar="[HOST:]PORT", nargs="?", const=str(SERVE_PORT),
                         help="instead of printing a report, serve /metrics in the Prometheus "
                         "text format (OpenMetrics when the scraper asks for it), from one "
                         "snapshot per request, until interrupted; needs the package's extra "
                         f"[serve] (prometheus_client). Listens on PORT (default {SERVE_PORT}) of "
                         "the loopback address 127.0.0.1, or on HOST:PORT ([ADDRESS]:PORT for "
                         "IPv6): another machine can scrape only an address written out, such as "
                         "0.0.0.0:PORT. Port 0 takes a free port, shown on the first line printed")
    serving.add_argument("--top", metavar="N", type=positive_integer, default=TOP_PROCESSES,
                         help="with --serve: how many of the processes using most memory get "
                         f"series of their own (default {TOP_PROCESSES})")
    serving.add_argument("--process", metavar="PID", type=positive_integer, action="append",
                         default=[], help="with --serve: also serve this process's socket queues "
                         "and the bytes each of its TCP connections carried (repeatable)")
    parser.set_defaults(run=report_command)
    if COMMANDS:
        subparsers = parser.add_subparsers(dest="command", metavar="COMMAND")
        for add_command in COMMANDS:
            add_command(subparsers)
    return parser


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.serve is None and (args.process or args.top != TOP_PROCESSES):
        parser.error("--top and --process go with --serve")
    if args.serve is not None and (args.json or args.watch is not None):
        parser.error("--serve does not go with --json or --watch")
    try:
        return args.run(args)
    except SnapshotFailed as error:
        print(f"report: cannot take a snapshot: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away: nothing more to say, and nothing to flush at exit either.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return 0


if __name__ == "__main__":
    sys.exit(main())
