"""The API reference in docs/ against the installed module: every name, and its examples run."""
import concurrent.futures
import os
import re
import subprocess
import sys
from pathlib import Path

import lumenstat

DOCS = Path(__file__).resolve().parents[2] / "docs"
NEEDS_PRIVILEGES = "<!-- example: needs privileges -->"


def headings(text, part):
    """The ### headings under the ## heading `part`, in order."""
    return re.findall(r"^### (.+)$", text.split(f"\n## {part}\n", 1)[1].split("\n## ", 1)[0], re.M)


def test_reference_documents_every_name():
    text = (DOCS / "api.md").read_text()
    classes = [n for n in lumenstat.__all__ if isinstance(getattr(lumenstat, n), type)]
    assert headings(text, "Functions") == [n + getattr(lumenstat, n).__text_signature__
                                                 for n in lumenstat.__all__ if n not in classes]
    assert headings(text, "Classes") == classes


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
