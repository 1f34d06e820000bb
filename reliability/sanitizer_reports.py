"""Counts the AddressSanitizer, LeakSanitizer and UBSan reports of a run.

The sanitizer run (`make asan`) writes every report to a file of its own in
one folder (`log_path=DIR/asan`, `log_exe_name=1`, so a file is named
`asan.<executable>.<pid>`), including reports of the subprocesses that tests
start. This script reads that folder and exits with 1 when any report
counts:

- every AddressSanitizer error (heap-use-after-free, buffer overflow, ...)
  and every UBSan runtime error, whatever the stack;
- every leak whose allocation stack has a frame in the module or in the
  test-only extension.

A leak whose allocation stack lies wholly in the interpreter is the
interpreter's own and is listed, not counted. LeakSanitizer's suppression
file cannot express that: a suppression matches any frame of the stack, and
every allocation the module makes happens below the interpreter's frames, so
suppressing the interpreter binary would hide the module's leaks too.

Reports of processes that are neither a Python interpreter nor the C++ unit
tests (a tool some test runs) are listed and not counted.

    python sanitizer_reports.py REPORT_DIR
"""

from __future__ import annotations

import argparse
import pathlib
import re
import sys

# A frame is the module's (or the test-only extension's) when it names one of
# these: the shared libraries by file name, the sources by path.
OWN_FRAME_MARKERS = (
    "properties.cpython-",
    "_properties_testing",
    "/tovren/_libs/properties/",
    "/tests/support/",
    "/tests/cpp/",
)
OWN_EXECUTABLES = re.compile(r"^(python3(\.\d+)?[a-z]*|unit_tests|code_object_cache_tsan)$")

LEAK_HEADER = re.compile(r"^(Direct|Indirect) leak of (\d+) byte\(s\) in (\d+) object\(s\)")
FRAME = re.compile(r"^\s+#\d+ ")
ERROR_HEADER = re.compile(r"ERROR: AddressSanitizer: (\S+)")
UBSAN_ERROR = re.compile(r"runtime error: (.*)")


class Report:
    def __init__(self, path: pathlib.Path):
        self.path = path
        self.executable = executable_of(path)
        self.errors: list[str] = []  # one line per ASan or UBSan error
        self.own_leaks: list[list[str]] = []  # leak blocks with one of our frames
        self.interpreter_leaks: list[list[str]] = []
        self._parse(path.read_text(errors="replace").splitlines())

    def _parse(self, lines: list[str]) -> None:
        leak: list[str] | None = None
        for line in lines:
            if (match := ERROR_HEADER.search(line)) is not None:
                self.errors.append(line.strip())
            elif (match := UBSAN_ERROR.search(line)) is not None:
                self.errors.append(line.strip())
            if LEAK_HEADER.match(line):
                self._close(leak)
                leak = [line]
            elif leak is not None and FRAME.match(line):
                leak.append(line)
            elif leak is not None:
                self._close(leak)
                leak = None
        self._close(leak)

    def _close(self, leak: list[str] | None) -> None:
        if leak is None:
            return
        frames = leak[1:]
        if any(marker in frame for frame in frames for marker in OWN_FRAME_MARKERS):
            self.own_leaks.append(leak)
        else:
            self.interpreter_leaks.append(leak)

    @property
    def ours(self) -> bool:
        return OWN_EXECUTABLES.match(self.executable) is not None

    @property
    def counted(self) -> int:
        return len(self.errors) + len(self.own_leaks) if self.ours else 0


def executable_of(path: pathlib.Path) -> str:
    """`asan.python3.14.1234` -> `python3.14`."""
    parts = path.name.split(".")
    if len(parts) >= 3 and parts[-1].isdigit():
        return ".".join(parts[1:-1])
    return ""


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("report_dir", type=pathlib.Path)
    args = parser.parse_args(argv)

    reports = [Report(path) for path in sorted(args.report_dir.glob("*")) if path.is_file()]
    counted = 0
    for report in reports:
        if not report.ours:
            print(f"ignored: report of {report.executable or '?'} (not the interpreter): {report.path}")
            continue
        for leak in report.interpreter_leaks:
            print(f"interpreter's own leak, not counted ({report.path.name}): {leak[0].strip()}")
        for error in report.errors:
            print(f"REPORT {report.path}: {error}")
        for leak in report.own_leaks:
            print(f"REPORT {report.path}: {leak[0].strip()}")
            for frame in leak[1:12]:
                print(f"    {frame.strip()}")
        counted += report.counted
    print(f"sanitizer reports: {counted} ({len(reports)} report files read from {args.report_dir})")
    return 1 if counted else 0


if __name__ == "__main__":
    sys.exit(main())
