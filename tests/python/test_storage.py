"""Mounted file systems, block-device counters and directory listings, against df, /sys/block
and directory trees the tests build."""
import codecs
import os
import subprocess

import pytest

import lumenstat


def df_figures():
    # Read as bytes and split from the right: a mount point may hold spaces or bytes that are not
    # UTF-8, which the module, too, carries as U+FFFD.
    out = subprocess.run(["df", "-B1", "--output=target,size,used,avail"], capture_output=True,
                         check=True).stdout.splitlines()[1:]
    figures = {}
    for line in out:
        target, *numbers = line.rsplit(maxsplit=3)
        figures[target.decode(errors="replace")] = [int(n) for n in numbers]
    return figures


@pytest.fixture
def odd_disk(tmp_path):
    """A small file system whose source names a disk and whose mount point holds a space and a
    byte that is not UTF-8, as a mount another program makes may."""
    point = os.path.join(os.fsencode(tmp_path), b"mnt \xff")
    os.mkdir(point)
    subprocess.run([b"mount", b"-t", b"tmpfs", b"-o", b"size=6m", b"lumenstat-disk", point],
                   check=True)
    yield point.decode(errors="replace")
    subprocess.run([b"umount", point], check=True)


def test_disks_are_disk_backed_mounts_with_the_figures_of_df(odd_disk):
    disks = lumenstat.py_get_disks()
    with open("/proc/self/mountinfo", "rb") as f:
        table = [codecs.escape_decode(line.split(b" - ")[1].split()[1])[0] for line in f]
    # The disk-backed mounts, in the kernel's order.
    assert [d.device for d in disks] == [
        s.decode(errors="replace") for s in table if s.startswith(b"/dev/") or b"disk" in s]
    df = df_figures()
    compared = [d for d in disks if d.mount_point in df]
    assert {"/", odd_disk} <= {d.mount_point for d in compared}
    for disk in compared:
        size, used, avail = df[disk.mount_point]
        # Other writers move the used figure between the two readings.
        assert disk.total_bytes == size, disk.mount_point
        assert abs(disk.used_bytes - used) < 256 << 20
        assert abs(disk.available_bytes - avail) < 256 << 20
        if disk.total_bytes:
            assert disk.usage_percent == pytest.approx(disk.used_bytes / disk.total_bytes * 100)


def sys_block():
    out = {}
    for name in sorted(os.listdir("/sys/block")):
        with open(f"/sys/block/{name}/stat") as f:
            fields = [int(n) for n in f.read().split()]
        out[name] = [fields[0], fields[4], fields[2] * 512, fields[6] * 512,
                     fields[3] * 10**6, fields[7] * 10**6]
    return out


def test_disk_counters_follow_sys_block_in_name_order():
    before = sys_block()
    stats = lumenstat.py_get_disk_io_stats()
    after = sys_block()
    moved = [name for name, c in before.items() if any(c[:4])]
    assert [s.device for s in stats] == [f"disk{i}" for i in range(len(stats))]
    assert len(stats) == len(moved)
    for s, name in zip(stats, moved):
        ours = [s.reads, s.writes, s.bytes_read, s.bytes_written, s.read_time_ms, s.write_time_ms]
        # The time counters carry nanoseconds, as the Darwin driver reports them.
        assert all(b <= o <= a for b, o, a in zip(before[name], ours, after[name])), name


@pytest.fixture
def tree(tmp_path):
    (tmp_path / "zdir").mkdir()
    (tmp_path / "zdir" / "inner").write_bytes(b"not listed")
    (tmp_path / "b.txt").write_bytes(b"12345")
    (tmp_path / "A.txt").write_bytes(b"")
    (tmp_path / "Bdir").mkdir()
    os.symlink("zdir", tmp_path / "link")
    os.mkdir(os.path.join(os.fsencode(tmp_path), b"caf\xe9"))
    return tmp_path


def test_list_dir_orders_and_describes_entries(tree):
    entries = lumenstat.list_dir(str(tree))
    assert [(e.name, e.is_dir) for e in entries] == [
        ("Bdir", True), ("caf\ufffd", True), ("zdir", True),
        ("A.txt", False), ("b.txt", False), ("link", False)]
    sizes = {e.name: e.size for e in entries}
    assert sizes["b.txt"] == 5 and sizes["A.txt"] == 0 and sizes["zdir"] == 0
    assert sizes["link"] == len("zdir")
    assert entries[1].path == f"{tree}/caf\ufffd"
    assert lumenstat.list_dir(path=str(tree / "Bdir")) == []


def test_list_dir_errors(tree):
    cases = [
        (str(tree / "nope"), "No such file or directory (os error 2)"),
        (str(tree / "b.txt"), "Not a directory (os error 20)"),
        ("", "No such file or directory (os error 2)"),
        ("a\0b", "file name contained an unexpected NUL byte"),
    ]
    for path, text in cases:
        with pytest.raises(OSError) as raised:
            lumenstat.list_dir(path)
        assert raised.value.args == (f"list_dir({path}): {text}",)
    if os.geteuid() != 0:
        os.chmod(tree / "zdir", 0)
        with pytest.raises(OSError, match=r"Permission denied \(os error 13\)$"):
            lumenstat.list_dir(str(tree / "zdir"))


@pytest.mark.slow
def test_list_dir_of_a_hundred_thousand_entries(tmp_path):
    names = [f"f{i:06d}" for i in range(100_000)]
    for name in names[::-1]:
        os.close(os.open(tmp_path / name, os.O_CREAT | os.O_WRONLY))
    entries = lumenstat.list_dir(str(tmp_path))
    assert [e.name for e in entries] == names
