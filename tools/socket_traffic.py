"""The per-connection byte counts of one process, as report lines.

`socket_traffic_lines(pid, width)` follows the report's section shape (lines cut to the width) so
that a command watching a process can print it on every refresh:

    from socket_traffic import socket_traffic_lines
    print("\\n".join(socket_traffic_lines(pid, width)))
"""

from __future__ import annotations

import lumenstat


def _fit(text: str, width: int) -> str:
    return text if len(text) <= width else text[: max(width - 3, 0)] + "..."[:width]


def render_socket_traffic(stats: list, width: int) -> list[str]:
    """Lines for `get_process_socket_stats` records: one per socket in descriptor order, then the
    totals. An unconnected socket's remote end shows as "*"."""
    if not stats:
        return [_fit("  no TCP sockets", width)]
    lines = [
        f"  {'FD':>5}  {'PROTO':<5}  {'LOCAL ADDRESS':<30}  {'REMOTE ADDRESS':<30}"
        f"  {'SENT':>15}  {'RECEIVED':>15}"
    ]
    for s in sorted(stats, key=lambda s: s.fd):
        lines.append(
            f"  {s.fd:>5}  {s.protocol:<5}  {s.local_addr:<30}  {s.remote_addr or '*':<30}"
            f"  {s.bytes_sent:>15,}  {s.bytes_received:>15,}"
        )
    sent = sum(s.bytes_sent for s in stats)
    received = sum(s.bytes_received for s in stats)
    lines.append(f"  {len(stats)} TCP sockets: {sent:,} bytes sent, {received:,} bytes received")
    return [_fit(line, width) for line in lines]


def socket_traffic_lines(pid: int, width: int) -> list[str]:
    """Reads the process's sockets and their counts now (one run of the traffic tool) and renders
    them."""
    return render_socket_traffic(lumenstat.get_process_socket_stats(pid), width)
