"""Uses of the stubs, a mistake of each kind marked "# error": mypy must report those lines only."""
import lumenstat

info = lumenstat.py_get_memory_info()
info.total = 5  # error
lumenstat.get_process_by_pid("1")  # error
lumenstat.get_process_by_pid(1).name  # error
missing: str = lumenstat.get_process_count()  # error
lumenstat.get_processes(1)  # error
none: int = lumenstat.kill_process(1)  # error
lumenstat.start_tracking_children(1, lambda event: event["nope"])  # error
lumenstat.start_tracking_sockets(1, lambda event: print(event["local_addr"] + event["state"]))
total: int = info.total + len(lumenstat.get_process_socket_queues(1)[0].remote_addr)
snapshot = lumenstat.PySystemSummary(0)
snapshot.get_connection_by_state(1)  # error


class Mine(lumenstat.PyProcessInfo):  # error
    pass
