"""The API reference in docs/ against the installed module: complete, and its examples run."""
import concurrent.futures
import os
import re
import subprocess
import sys
from pathlib import Path

import lumenstat

DOCS = Path(__file__).resolve().parents[2] / "docs"
NEEDS_PRIVILEGES = "<!-- example: needs privileges -->"


def sections(text, part):
    """{heading: body} of the ### sections under the ## heading `part`, in order."""
    body = text.split(f"\n## {part}\n", 1)[1].split("\n## ", 1)[0]
    pieces = re.split(r"^### (.+)$", body, flags=re.M)
    return dict(zip(pieces[1::2], pieces[2::2]))


def test_reference_documents_every_name_attribute_and_tracker_report_key():
    text = (DOCS / "api.md").read_text()
    classes = [n for n in lumenstat.__all__ if isinstance(getattr(lumenstat, n), type)]
    assert list(sections(text, "Functions")) == [n + getattr(lumenstat, n).__text_signature__
                                                 for n in lumenstat.__all__ if n not in classes]
    documented = sections(text, "Classes")
    assert list(documented) == classes
    for name in classes:
        for member, value in vars(getattr(lumenstat, name)).items():
            shown = member if type(value).__name__ == "getset_descriptor" else member + "()"
            assert member.startswith("__") or f"\n| `{shown}` |" in documented[name], (name, member)
    # A child or socket report carries the fields of PyChildProcessEvent or
    # PySocketConnectionEvent as dictionary keys, in the same order.
    text = (DOCS / "trackers.md").read_text()
    for heading, cls in (("Children", lumenstat.PyChildProcessEvent),
                         ("Sockets", lumenstat.PySocketConnectionEvent)):
        table = text.split(f"## {heading}", 1)[1].split("\n## ")[0]
        keys = re.findall(r'^\| `"(\w+)"` \|', table, re.M)
        assert keys == [k for k in vars(cls) if not k.startswith("__")], heading


def test_reference_examples_run():
    examples = {}
    for page in sorted(DOCS.glob("*.md")):
        text = page.read_text()
        for match in re.finditer(r"^```python\n(.*?)^```$", text, re.M | re.S):
            before = text[:match.start()].rstrip().rsplit("\n", 1)[-1]
            if before != NEEDS_PRIVILEGES or os.geteuid() == 0:
                examples[f"{page.name}:{text.count(chr(10), 0, match.start()) + 1}"] = match[1]
    assert len(examples) > 20
    # A process of its own each, a few at a time: examples must not see another's cached
    # socket listing.
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        results = dict(zip(examples, pool.map(lambda code: subprocess.run(
            [sys.executable, "-c", code], capture_output=True, text=True, timeout=120),
            examples.values())))
    assert {where: done.stderr for where, done in results.items() if done.returncode} == {}
