"""Prints a readable report of this machine, read through the lumenstat module.

Each section is one function that takes the line width and returns its lines; add a section by
writing such a function and listing it in SECTIONS.
"""

from __future__ import annotations

import argparse
import datetime
import os
import shutil
import sys

import lumenstat

TOP_PROCESSES = 10


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
    return text[: max(width - 3, 0)] + "..."[: width]


def memory_section(width: int) -> list[str]:
    info = lumenstat.py_get_memory_info()
    rows = [
        ("total", info.total),
        ("available", info.available),
        ("used", info.used),
        ("free", info.free),
    ]
    lines = [
        f"  {label:<10} {human_bytes(value):>11}   {value:>20,} bytes" for label, value in rows
    ]
    lines.append(f"  {'usage':<10} {info.usage_percent:>9.1f} %")
    return [fit(line, width) for line in lines]


def top_processes_section(width: int) -> list[str]:
    processes = lumenstat.get_processes()
    top = sorted(processes, key=lambda p: p.memory_usage, reverse=True)[:TOP_PROCESSES]
    header = f"  {'PID':>7}  {'NAME':<16}  {'STATUS':<8}  {'MEMORY':>10}  COMMAND"
    lines = [f"  {len(processes)} processes; the {len(top)} using most memory:", header]
    for p in top:
        command = printable(p.command) or f"[{printable(p.name)}]"
        row = (
            f"  {p.pid:>7}  {fit(printable(p.name), 16):<16}  {p.status:<8}"
            f"  {human_bytes(p.memory_usage):>10}  {command}"
        )
        lines.append(row)
    return [fit(line, width) for line in lines]


def cpu_section(width: int) -> list[str]:
    info = lumenstat.py_get_cpu_info()
    usage = lumenstat.py_get_cpu_usage(500)
    frequency = f"{info.frequency_mhz} MHz" if info.frequency_mhz else "unknown"
    lines = [
        f"  {'model':<10} {printable(info.model_name) or 'unknown'} ({printable(info.vendor)})",
        f"  {'cores':<10} {info.physical_cores} physical, {info.logical_cores} logical",
        f"  {'frequency':<10} {frequency}",
        "  usage over half a second:",
    ]
    bar_width = max(width - 24, 10)
    for cpu, percent in enumerate(usage):
        filled = round(percent / 100.0 * bar_width)
        lines.append(f"  cpu{cpu:<4} [{'#' * filled:<{bar_width}}] {percent:5.1f} %")
    return [fit(line, width) for line in lines]


def sockets_section(width: int) -> list[str]:
    summary = lumenstat.py_get_socket_summary()
    listening = lumenstat.get_connection_by_state("LISTEN")
    names = {p.pid: p.name for p in lumenstat.get_processes()}
    lines = [
        f"  {summary.total} sockets: {summary.established} established, {summary.listen} listening,"
        f" {summary.time_wait} in TIME_WAIT, {summary.close_wait} in CLOSE_WAIT",
        f"  listening sockets ({len(listening)}):",
        f"  {'PROTO':<6}  {'LOCAL ADDRESS':<40}  {'PID':>7}  PROCESS",
    ]
    for conn in sorted(listening, key=lambda c: (c.protocol, c.local_addr, c.pid)):
        owner = printable(names.get(conn.pid, "?")) if conn.pid else "-"
        lines.append(f"  {conn.protocol:<6}  {conn.local_addr:<40}  {conn.pid:>7}  {owner}")
    return [fit(line, width) for line in lines]


SECTIONS = [
    ("CPU", cpu_section),
    ("Memory", memory_section),
    ("Processes", top_processes_section),
    ("Sockets", sockets_section),
]


def parse_arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description="Print a report of this machine read through lumenstat: CPU, memory, the "
        f"{TOP_PROCESSES} processes using most memory and the listening sockets. The exit status "
        "is 1 when a section could not be read.",
    )
    return parser.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    parse_arguments(argv)
    width = max(shutil.get_terminal_size((100, 24)).columns, 40)
    now = datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M:%S %Z")
    print(fit(f"lumenstat report for {os.uname().nodename}, {now}", width))
    failed = 0
    for title, section in SECTIONS:
        print()
        print(title)
        try:
            lines = section(width)
        except Exception as error:  # one failed query must not hide the other sections
            failed += 1
            lines = [fit(f"  unavailable: {type(error).__name__}: {error}", width)]
        print("\n".join(lines))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
