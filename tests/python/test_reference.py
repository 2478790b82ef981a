"""The API reference in docs/ against the installed module: complete, and its examples run."""
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import lumenstat

DOCS = Path(__file__).resolve().parents[2] / "docs"
REFERENCE = DOCS / "api.md"
NEEDS_PRIVILEGES = "<!-- example: needs privileges -->"


def sections(text, part):
    """{heading: body} of the ### sections under the ## heading `part`, in order."""
    body = text.split(f"\n## {part}\n", 1)[1].split("\n## ", 1)[0]
    pieces = re.split(r"^### (.+)$", body, flags=re.M)
    return dict(zip(pieces[1::2], pieces[2::2]))


def test_reference_documents_every_name_and_attribute():
    text = REFERENCE.read_text()
    classes = [n for n in lumenstat.__all__ if isinstance(getattr(lumenstat, n), type)]
    functions = [n for n in lumenstat.__all__ if n not in classes]
    headings = [name + getattr(lumenstat, name).__text_signature__ for name in functions]
    assert list(sections(text, "Functions")) == headings
    documented = sections(text, "Classes")
    assert list(documented) == classes
    for name in classes:
        for member, value in vars(getattr(lumenstat, name)).items():
            if member.startswith("__"):
                continue
            shown = f"`{member}`" if type(value).__name__ == "getset_descriptor" else f"`{member}()`"
            assert re.search(rf"^\| {re.escape(shown)} \|", documented[name], re.M), (name, member)


def examples():
    found = []
    for page in sorted(DOCS.glob("*.md")):
        text = page.read_text()
        for match in re.finditer(r"^```python\n(.*?)^```$", text, re.M | re.S):
            before = text[:match.start()].rstrip().rsplit("\n", 1)[-1]
            line = text.count("\n", 0, match.start()) + 1
            found.append(pytest.param(match.group(1), before == NEEDS_PRIVILEGES,
                                      id=f"{page.name}:{line}"))
    return found


@pytest.mark.parametrize("code, privileged", examples())
def test_reference_example_runs(code, privileged):
    if privileged and os.geteuid() != 0:
        pytest.skip("the example needs privileges")
    # A process of its own each: examples must not see another's cached socket listing.
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr


def test_tracker_payload_keys_are_the_event_classes_fields():
    """A child or socket report carries the fields of PyChildProcessEvent or
    PySocketConnectionEvent as dictionary keys, in the same order."""
    text = (DOCS / "trackers.md").read_text()
    for heading, cls in (("## Children", lumenstat.PyChildProcessEvent),
                         ("## Sockets", lumenstat.PySocketConnectionEvent)):
        table = text.split(heading, 1)[1].split("\n## ", 1)[0]
        keys = re.findall(r'^\| `"(\w+)"` \|', table, re.M)
        assert keys == [k for k in vars(cls) if not k.startswith("__")], heading
