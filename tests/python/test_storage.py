"""Mounted file systems, block-device counters and directory listings, against df, /sys/block
and a directory tree the test builds."""
import codecs
import os
import subprocess

import pytest

import lumenstat


def test_disks_are_disk_backed_mounts_with_the_figures_of_df():
    disks = lumenstat.py_get_disks()
    with open("/proc/self/mountinfo", "rb") as f:
        table = [codecs.escape_decode(line.split(b" - ")[1].split()[1])[0] for line in f]
    # The disk-backed mounts, in the kernel's order.
    assert [d.device for d in disks] == [
        s.decode(errors="replace") for s in table if s.startswith(b"/dev/") or b"disk" in s]
    out = subprocess.run(["df", "-B1", "--output=target,size,used,avail"], capture_output=True,
                         check=True).stdout  # split from the right: a mount point may hold spaces
    df = {target.decode(errors="replace"): [int(n) for n in numbers]
          for target, *numbers in (line.rsplit(maxsplit=3) for line in out.splitlines()[1:])}
    assert "/" in {d.mount_point for d in disks}
    for disk in (d for d in disks if d.mount_point in df):
        size, used, avail = df[disk.mount_point]
        # Other writers move the used figure between the two readings.
        assert (disk.total_bytes, abs(disk.used_bytes - used) < 256 << 20,
                abs(disk.available_bytes - avail) < 256 << 20) == (size, True, True), disk
        if disk.total_bytes:
            assert disk.usage_percent == pytest.approx(disk.used_bytes / disk.total_bytes * 100)


def sys_block():
    """Each device's reads, writes, bytes read and written, and read and write time in ns."""
    out = {}
    for name in sorted(os.listdir("/sys/block")):
        with open(f"/sys/block/{name}/stat") as f:
            c = [int(n) for n in f.read().split()]
        out[name] = [c[0], c[4], c[2] * 512, c[6] * 512, c[3] * 10**6, c[7] * 10**6]
    return out


def test_disk_counters_follow_sys_block_in_name_order():
    before, stats, after = sys_block(), lumenstat.py_get_disk_io_stats(), sys_block()
    moved = [name for name, c in before.items() if any(c[:4])]
    assert [s.device for s in stats] == [f"disk{i}" for i in range(len(moved))]
    for s, name in zip(stats, moved):
        ours = [s.reads, s.writes, s.bytes_read, s.bytes_written, s.read_time_ms, s.write_time_ms]
        # The time counters carry nanoseconds, as the Darwin driver reports them.
        assert all(b <= o <= a for b, o, a in zip(before[name], ours, after[name])), name


def test_list_dir_describes_entries_and_says_why_it_fails(tmp_path):
    # Directories first, then files, each by name: the reference's example.
    (tmp_path / "b.txt").write_bytes(b"12345")
    os.symlink(".", tmp_path / "link")  # a link to a folder, described as itself
    os.mkdir(os.path.join(os.fsencode(tmp_path), b"caf\xe9"))
    assert [(e.name, e.path, e.is_dir, e.size) for e in lumenstat.list_dir(path=str(tmp_path))] == [
        ("caf\ufffd", f"{tmp_path}/caf\ufffd", True, 0), ("b.txt", f"{tmp_path}/b.txt", False, 5),
        ("link", f"{tmp_path}/link", False, 1)]
    with pytest.raises(OSError) as raised:
        lumenstat.list_dir("a\0b")
    assert raised.value.args == ("list_dir(a\0b): file name contained an unexpected NUL byte",)
