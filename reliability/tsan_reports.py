"""Counts the ThreadSanitizer reports of a run (`make tsan`).

Every process of the run writes its reports into one folder
(`log_path=DIR/tsan`, so a file is named `tsan.<pid>`). A report counts when
any of its stacks has a frame in the module or in the test-only extension; a
report wholly inside the interpreter is the interpreter's own (its suppression
file, when `make tsan` is given one, need not cover everything) and is listed,
not counted.

    python tsan_reports.py REPORT_DIR

Exit status: 0 when no report counts, 1 otherwise.
"""

from __future__ import annotations

import argparse
import collections
import pathlib
import re
import sys

from sanitizer_reports import OWN_FRAME_MARKERS

REPORT_START = re.compile(r"^WARNING: ThreadSanitizer: (.*?)(?: \(pid=\d+\))?$")
REPORT_END = "=================="
FRAME = re.compile(r"^\s+#\d+ (\S+) (.*)$")


def reports_of(text: str) -> list[list[str]]:
    """The reports of one log file, each as its lines (header first)."""
    reports, current = [], None
    for line in text.splitlines():
        if REPORT_START.match(line):
            current = [line]
            reports.append(current)
        elif current is not None:
            if line.startswith(REPORT_END):
                current = None
            else:
                current.append(line)
    return reports


def is_own(report: list[str]) -> bool:
    return any(FRAME.match(line) and any(m in line for m in OWN_FRAME_MARKERS) for line in report)


def headline(report: list[str]) -> str:
    """The report's kind and its first frame, as one line."""
    kind = REPORT_START.match(report[0]).group(1)
    for line in report[1:]:
        if (frame := FRAME.match(line)) is not None:
            return f"{kind}: {frame.group(1)} {frame.group(2).strip()}"
    return kind


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("report_dir", type=pathlib.Path)
    args = parser.parse_args()

    own, interpreter = [], collections.Counter()
    files = sorted(p for p in args.report_dir.glob("tsan*") if p.is_file())
    for path in files:
        for report in reports_of(path.read_text(errors="replace")):
            if is_own(report):
                own.append((path, report))
            else:
                interpreter[headline(report)] += 1

    for line, count in interpreter.most_common():
        print(f"tsan: listed, inside the interpreter ({count}x): {line}")
    for path, report in own:
        print(f"tsan: COUNTED report in {path.name}:")
        print("\n".join(report))
    print(f"tsan: {len(own)} reports with a frame in the module (counted), "
          f"{sum(interpreter.values())} wholly inside the interpreter (listed), {len(files)} log files")
    return 1 if own else 0


if __name__ == "__main__":
    sys.exit(main())
