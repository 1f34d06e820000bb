"""The reference-leak hunt (reliability/refleak_plugin.py, `make refleak`)
finds known leaks and reports nothing for code that does not leak."""

import pathlib
import re
import subprocess

import pytest
from conftest import debug_interpreter

RELIABILITY = pathlib.Path(__file__).resolve().parent.parent / "reliability"

pytestmark = pytest.mark.refleak_exempt(reason="runs the hunt in a debug interpreter of its own")


@pytest.fixture(scope="module")
def hunt(tmp_path_factory):
    debug = debug_interpreter()
    report = tmp_path_factory.mktemp("refleak") / "leaks.txt"
    result = subprocess.run(
        [debug, "-m", "pytest", "-p", "no:cacheprovider", "-p", "no:benchmark", "-p", "refleak_plugin",
         "--refleak-runs=2:3", f"--refleak-report={report}", f"--rootdir={RELIABILITY}", "-q",
         str(RELIABILITY / "refleak_selftest.py")],
        capture_output=True,
        text=True,
        timeout=600,
        cwd=RELIABILITY,
        env={"PATH": "/usr/bin:/bin", "PYTHONPATH": str(RELIABILITY), "PYTHONNOUSERSITE": "1"},
    )
    leaks = report.read_text().splitlines() if report.exists() else []
    return result, leaks


def test_known_leaks_are_reported_and_nothing_else(hunt):
    result, leaks = hunt
    leaking = sorted(line.split()[0].rsplit("::", 1)[1] for line in leaks)
    assert leaking == ["test_keeps_growing", "test_leaks_a_reference"], result.stdout
    # The same positive count on every measured run: one leak per repetition.
    assert all(re.search(r"leaked \[([1-9]\d*), \1, \1\] references", line) for line in leaks), leaks
    assert result.returncode == 1, result.stdout + result.stderr


def test_summary_counts_and_exemptions(hunt):
    result, _ = hunt
    assert "5 tests x 5 repetitions (2 warm-up, 3 measured): 2 leaking" in result.stdout, result.stdout
    assert "exempt refleak_selftest.py::test_exempt: demonstrates the exemption" in result.stdout
    assert "2 failed, 3 passed, 1 skipped" in result.stdout
