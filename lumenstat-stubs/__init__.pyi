# Type stubs of the lumenstat extension module: one class or function per entry, in the module's
# own order (its __all__). Every class is final, and its attributes are read-only properties.
from collections.abc import Callable
from typing import SupportsIndex, TypedDict, final

__all__ = [
    "PySystemSummary",
    "PyMemoryInfo",
    "PyCpuInfo",
    "PyDiskInfo",
    "PySocketStateSummary",
    "PySocketConnection",
    "PyProcessInfo",
    "PyDirEntry",
    "PyChildProcessEvent",
    "PyProcessTracker",
    "PyCpuTimes",
    "PyDiskIoStats",
    "PyProcessIoInfo",
    "PySocketStats",
    "PySocketQueueInfo",
    "PySocketConnectionEvent",
    "PyProcessSocketTracker",
    "PyProcessQueueTracker",
    "py_get_cpu_usage",
    "py_get_cpu_info",
    "py_get_cpu_times",
    "py_get_memory_info",
    "py_get_disks",
    "py_get_disk_io_stats",
    "py_get_socket_summary",
    "get_connections",
    "get_tcp_connections",
    "get_udp_sockets",
    "get_processes",
    "get_process_count",
    "get_process_by_pid",
    "get_process_io",
    "get_process_cpu_usage",
    "get_process_socket_stats",
    "get_process_socket_queues",
    "get_connection_by_pid",
    "get_connection_by_inode",
    "get_connection_by_local_addr",
    "get_connection_by_remote_addr",
    "get_connection_by_state",
    "list_dir",
    "kill_process",
    "start_tracking_children",
    "start_tracking_sockets",
    "start_tracking_queues",
]

# ---- classes ----------------------------------------------------------------------------------

@final
class PySystemSummary:
    """A snapshot of the whole machine, answered from the stored data only."""
    def __new__(cls, sample_duration: SupportsIndex | None) -> PySystemSummary: ...
    @property
    def memory(self) -> PyMemoryInfo: ...
    @property
    def cpu(self) -> PyCpuInfo: ...
    @property
    def disks(self) -> list[PyDiskInfo]: ...
    @property
    def socket_summary(self) -> PySocketStateSummary: ...
    @property
    def connections(self) -> list[PySocketConnection]: ...
    @property
    def process_count(self) -> int:
        """len(processes)."""
    @property
    def processes(self) -> list[PyProcessInfo]: ...
    @property
    def cpu_usage(self) -> list[float]:
        """Percent per logical CPU over the sampling span."""
    def get_connections(self) -> list[PySocketConnection]: ...
    def get_processes(self) -> list[PyProcessInfo]: ...
    def get_process_count(self) -> int: ...
    def get_process_by_pid(self, pid: SupportsIndex) -> PyProcessInfo | None: ...
    def get_connection_by_pid(self, pid: SupportsIndex) -> PySocketConnection | None: ...
    def get_connection_by_inode(self, inode: SupportsIndex) -> PySocketConnection | None: ...
    def get_connection_by_local_addr(self, local_addr: str) -> PySocketConnection | None:
        """Exact text comparison; nothing is parsed."""
    def get_connection_by_remote_addr(self, remote_addr: str) -> PySocketConnection | None:
        """Exact text comparison; nothing is parsed."""
    def get_connection_by_state(self, state: str) -> list[PySocketConnection]:
        """Exact text comparison: "LISTEN", not "listen"."""
    def get_cpu_usage(self) -> list[float]: ...
    def get_cpu_info(self) -> PyCpuInfo: ...
    def get_memory_info(self) -> PyMemoryInfo: ...
    def get_disks(self) -> list[PyDiskInfo]: ...
    def get_socket_summary(self) -> PySocketStateSummary: ...

@final
class PyMemoryInfo:
    @property
    def total(self) -> int:
        """Installed physical memory, bytes."""
    @property
    def available(self) -> int:
        """Free plus reclaimable memory, bytes."""
    @property
    def used(self) -> int:
        """total - available (0 when available exceeds total), bytes."""
    @property
    def free(self) -> int:
        """Memory in no use at all, bytes."""
    @property
    def usage_percent(self) -> float:
        """used / total * 100, percent."""

@final
class PyCpuInfo:
    @property
    def physical_cores(self) -> int: ...
    @property
    def logical_cores(self) -> int: ...
    @property
    def model_name(self) -> str: ...
    @property
    def vendor(self) -> str: ...
    @property
    def frequency_mhz(self) -> int:
        """Nominal frequency, megahertz; 0 when the system does not publish it."""

@final
class PyDiskInfo:
    @property
    def device(self) -> str: ...
    @property
    def mount_point(self) -> str: ...
    @property
    def fs_type(self) -> str: ...
    @property
    def total_bytes(self) -> int:
        """Capacity, bytes."""
    @property
    def used_bytes(self) -> int:
        """Blocks not free (reserved blocks included), bytes."""
    @property
    def available_bytes(self) -> int:
        """Space an unprivileged user may still fill, bytes."""
    @property
    def usage_percent(self) -> float:
        """used_bytes / total_bytes * 100, percent."""

@final
class PySocketStateSummary:
    @property
    def total(self) -> int: ...
    @property
    def established(self) -> int: ...
    @property
    def listen(self) -> int: ...
    @property
    def time_wait(self) -> int: ...
    @property
    def close_wait(self) -> int: ...

@final
class PySocketConnection:
    @property
    def protocol(self) -> str:
        """One of: tcp, tcp6, udp, udp6."""
    @property
    def local_addr(self) -> str:
        """Address and port, as 127.0.0.1:631 or [::1]:8080."""
    @property
    def remote_addr(self) -> str:
        """Address and port; "127.0.0.1:0" when the socket has no remote end."""
    @property
    def state(self) -> str:
        """TCP state, as "ESTABLISHED" or "LISTEN"; "UNKNOWN" for UDP."""
    @property
    def pid(self) -> int:
        """Owning process; 0 when unknown."""
    @property
    def inode(self) -> int: ...

@final
class PyProcessInfo:
    @property
    def pid(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def command(self) -> str:
        """The arguments joined by single spaces; empty when they cannot be read."""
    @property
    def status(self) -> str:
        """One of: Running, Sleeping, Stopped, Zombie, Idle, Unknown."""
    @property
    def memory_usage(self) -> int:
        """Memory the process uses, bytes."""

@final
class PyDirEntry:
    @property
    def name(self) -> str: ...
    @property
    def path(self) -> str: ...
    @property
    def is_dir(self) -> bool:
        """True for a directory itself; False for a symbolic link to one."""
    @property
    def size(self) -> int:
        """Bytes; 0 for a directory."""

@final
class PyChildProcessEvent:
    @property
    def pid(self) -> int: ...
    @property
    def ppid(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def cmdline(self) -> list[str]: ...
    @property
    def exe_path(self) -> str: ...
    @property
    def start_time(self) -> int:
        """Seconds since the Unix epoch."""

@final
class PyProcessTracker:
    def stop(self) -> None:
        """Ends the watch; returns at once."""

@final
class PyCpuTimes:
    @property
    def user(self) -> int:
        """Scheduler ticks."""
    @property
    def system(self) -> int:
        """Scheduler ticks."""
    @property
    def idle(self) -> int:
        """Scheduler ticks."""
    @property
    def nice(self) -> int:
        """Scheduler ticks."""
    @property
    def iowait(self) -> int:
        """Always 0."""

@final
class PyDiskIoStats:
    @property
    def device(self) -> str: ...
    @property
    def reads(self) -> int: ...
    @property
    def writes(self) -> int: ...
    @property
    def bytes_read(self) -> int: ...
    @property
    def bytes_written(self) -> int: ...
    @property
    def read_time_ms(self) -> int:
        """Total time of reads in nanoseconds, as the driver counts it, despite the name."""
    @property
    def write_time_ms(self) -> int:
        """Total time of writes in nanoseconds, as the driver counts it, despite the name."""

@final
class PyProcessIoInfo:
    @property
    def pid(self) -> int: ...
    @property
    def read_bytes(self) -> int:
        """Bytes read from storage since the process started."""
    @property
    def write_bytes(self) -> int:
        """Bytes written to storage since the process started."""
    @property
    def read_chars(self) -> int:
        """Always 0."""
    @property
    def write_chars(self) -> int:
        """Always 0."""
    @property
    def read_ops(self) -> int:
        """Always 0."""
    @property
    def write_ops(self) -> int:
        """Always 0."""

@final
class PySocketStats:
    @property
    def pid(self) -> int: ...
    @property
    def fd(self) -> int: ...
    @property
    def protocol(self) -> str: ...
    @property
    def local_addr(self) -> str: ...
    @property
    def remote_addr(self) -> str:
        """Empty when the socket has no remote end."""
    @property
    def bytes_sent(self) -> int: ...
    @property
    def bytes_received(self) -> int: ...

@final
class PySocketQueueInfo:
    @property
    def pid(self) -> int: ...
    @property
    def fd(self) -> int: ...
    @property
    def protocol(self) -> str: ...
    @property
    def local_addr(self) -> str: ...
    @property
    def remote_addr(self) -> str:
        """Empty when the socket has no remote end."""
    @property
    def state(self) -> str: ...
    @property
    def recv_queue_bytes(self) -> int: ...
    @property
    def recv_queue_hiwat(self) -> int: ...
    @property
    def send_queue_bytes(self) -> int: ...
    @property
    def send_queue_hiwat(self) -> int: ...

@final
class PySocketConnectionEvent:
    @property
    def protocol(self) -> str: ...
    @property
    def local_addr(self) -> str: ...
    @property
    def remote_addr(self) -> str: ...
    @property
    def state(self) -> str: ...
    @property
    def pid(self) -> int: ...
    @property
    def inode(self) -> int: ...

@final
class PyProcessSocketTracker:
    def stop(self) -> None:
        """Ends the watch; returns at once."""

@final
class PyProcessQueueTracker:
    def stop(self) -> None:
        """Ends the watch; returns at once."""

# ---- functions ----------------------------------------------------------------------------------
# sample_duration: milliseconds, None for 500. pid and inode: int or any object with __index__.

def py_get_cpu_usage(sample_duration: SupportsIndex | None) -> list[float]: ...
def py_get_cpu_info() -> PyCpuInfo: ...
def py_get_cpu_times() -> list[PyCpuTimes]: ...
def py_get_memory_info() -> PyMemoryInfo: ...
def py_get_disks() -> list[PyDiskInfo]: ...
def py_get_disk_io_stats() -> list[PyDiskIoStats]: ...
def py_get_socket_summary() -> PySocketStateSummary: ...
def get_connections() -> list[PySocketConnection]: ...
def get_tcp_connections() -> list[PySocketConnection]: ...
def get_udp_sockets() -> list[PySocketConnection]: ...
def get_processes() -> list[PyProcessInfo]: ...
def get_process_count() -> int: ...
def get_process_by_pid(pid: SupportsIndex) -> PyProcessInfo | None: ...
def get_process_io(pid: SupportsIndex) -> PyProcessIoInfo: ...
def get_process_cpu_usage(pid: SupportsIndex, sample_duration: SupportsIndex | None) -> float: ...
def get_process_socket_stats(pid: SupportsIndex) -> list[PySocketStats]: ...
def get_process_socket_queues(pid: SupportsIndex) -> list[PySocketQueueInfo]: ...
def get_connection_by_pid(pid: SupportsIndex) -> PySocketConnection | None: ...
def get_connection_by_inode(inode: SupportsIndex) -> PySocketConnection | None: ...
def get_connection_by_local_addr(local_addr: str) -> PySocketConnection | None: ...
def get_connection_by_remote_addr(remote_addr: str) -> PySocketConnection | None: ...
def get_connection_by_state(state: str) -> list[PySocketConnection]: ...
def list_dir(path: str) -> list[PyDirEntry]:
    """Raises OSError "list_dir(PATH): DESCRIPTION (os error N)" when the directory cannot be opened."""
def kill_process(pid: SupportsIndex) -> None: ...

# The payloads tracker callbacks receive.
class _ChildReport(TypedDict):
    pid: int
    ppid: int
    name: str
    cmdline: list[str]
    exe_path: str
    start_time: int

class _SocketReport(TypedDict):
    protocol: str
    local_addr: str
    remote_addr: str
    state: str
    pid: int
    inode: int

def start_tracking_children(
    pid: SupportsIndex, callback: Callable[[_ChildReport], object]
) -> PyProcessTracker: ...
def start_tracking_sockets(
    pid: SupportsIndex, callback: Callable[[_SocketReport], object]
) -> PyProcessSocketTracker: ...
def start_tracking_queues(
    pid: SupportsIndex, callback: Callable[[list[PySocketQueueInfo]], object]
) -> PyProcessQueueTracker: ...
