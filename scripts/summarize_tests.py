"""Sums the test reports of one test run into the closing line "N passed, N failed[, N skipped]".

Usage: summarize_tests.py RESULTS_DIR
RESULTS_DIR holds JUnit XML reports (*.xml, from ctest and pytest) and stages.tsv, whose lines are
"<stage>\t<kind>\t<status>\t<seconds>": kind "tests" for a run that wrote a report (a failed status with no
failed case in the report still counts one failure: the run itself broke), kind "check" for a
check that counts as one item (macOS build, a fuzz target), kind "step" for a prerequisite that
counts only when it fails (a build). Exits 1 when anything failed.
"""

from __future__ import annotations

import sys
import xml.etree.ElementTree as ET
from pathlib import Path


def count_report(path: Path) -> tuple[int, int, int]:
    passed = failed = skipped = 0
    try:
        root = ET.parse(path).getroot()
    except (ET.ParseError, OSError):
        return 0, 1, 0
    for case in root.iter("testcase"):
        if case.find("failure") is not None or case.find("error") is not None:
            failed += 1
        elif case.find("skipped") is not None or case.get("status") in ("notrun", "disabled"):
            skipped += 1
        else:
            passed += 1
    return passed, failed, skipped


def main() -> int:
    results = Path(sys.argv[1])
    totals = {"passed": 0, "failed": 0, "skipped": 0}
    stages_file = results / "stages.tsv"
    lines = stages_file.read_text().splitlines() if stages_file.exists() else []
    print(f"{'stage':<40} {'status':<8} passed  failed  skipped  seconds")
    for line in lines:
        stage, kind, status, seconds = line.split("\t")
        passed = failed = skipped = 0
        if kind == "tests":
            report = results / f"{stage}.xml"
            if report.exists():
                passed, failed, skipped = count_report(report)
            if status != "ok" and failed == 0:
                failed = 1
        elif kind == "check":
            passed, failed = (1, 0) if status == "ok" else (0, 1)
        elif status != "ok":
            failed = 1
        totals["passed"] += passed
        totals["failed"] += failed
        totals["skipped"] += skipped
        print(f"{stage:<40} {status:<8} {passed:>6}  {failed:>6}  {skipped:>7}  {seconds:>7}")
    summary = f"{totals['passed']} passed, {totals['failed']} failed"
    if totals["skipped"]:
        summary += f", {totals['skipped']} skipped"
    print(summary)
    return 1 if totals["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
