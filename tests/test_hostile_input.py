"""A slice of the hostile-input campaign (reliability/fuzz_campaign.py; the
full run is `make fuzz`), and the campaign's own crash reporting."""

import os
import pathlib
import random
import re
import subprocess
import sys

import pytest

CAMPAIGN = pathlib.Path(__file__).resolve().parent.parent / "reliability" / "fuzz_campaign.py"

# Each run of the campaign starts a child interpreter; nothing to measure here.
pytestmark = pytest.mark.refleak_exempt(reason="runs the campaign in child interpreters")

FAMILIES = [
    "cached_property_construction",
    "axis_property_construction",
    "set_state",
    "reconstructors",
    "pickling_round_trip",
    "cached_property_reads",
    "axis_property_access",
]


def run_campaign(*arguments):
    return subprocess.run(
        [sys.executable, str(CAMPAIGN), *arguments],
        capture_output=True,
        text=True,
        timeout=600,
    )


def slice_seed():
    """TOVREN_FUZZ_SEED replays a slice; otherwise each run covers new cases."""
    return int(os.environ.get("TOVREN_FUZZ_SEED", random.SystemRandom().randrange(2**32)))


@pytest.mark.parametrize("family", FAMILIES)
def test_slice_of_each_family(family):
    seed = slice_seed()
    result = run_campaign("--cases", "700", "--seed", str(seed), "--family", family)
    assert result.returncode == 0, f"seed {seed}:\n{result.stdout}\n{result.stderr}"
    assert re.search(rf"fuzz: 700 cases, 0 failed, seed {seed}\b.*{family} 700", result.stdout), result.stdout


def test_crash_reports_seed_and_case():
    result = run_campaign("--cases", "40", "--seed", "11", "--abort-at", "23")
    assert result.returncode == 2, result.stdout + result.stderr
    assert "CRASH (signal SIGABRT) in case 23, seed 11" in result.stdout
    assert f"{CAMPAIGN} --seed 11 --case 23" in result.stdout


def test_hang_reports_seed_case_and_tracebacks():
    result = run_campaign("--cases", "40", "--seed", "11", "--hang-at", "5", "--case-timeout", "3")
    assert result.returncode == 2, result.stdout + result.stderr
    assert "HANG: case 5 made no progress for 3.0 s" in result.stdout
    assert f"{CAMPAIGN} --seed 11 --case 5" in result.stdout
    assert "in worker" in result.stderr  # the stuck worker's Python traceback


def test_one_case_replays_alone():
    result = run_campaign("--seed", "11", "--case", "23", "--family", "cached_property_reads")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "fuzz: 1 cases, 0 failed, seed 11" in result.stdout
    assert "cached_property_reads 1" in result.stdout



RECURSION = """
import sys
import tovren._libs.properties as properties

class Owner:
    @properties.cache_readonly
    def cached(self):
        return self.cached

    axis = properties.AxisProperty(0)

    @property
    def _mgr(self):
        return self

    @property
    def axes(self):
        return [self.axis]

sys.setrecursionlimit(int(sys.argv[1]))
for name in ("cached", "axis"):
    try:
        getattr(Owner(), name)
    except RecursionError:
        print(name, "RecursionError")
"""


@pytest.mark.parametrize("limit", [1000, 10**7])
def test_unbounded_recursion_through_descriptors_ends_in_recursion_error(limit):
    # With a huge limit only the interpreter's C stack check stands between
    # the descriptor's slot and a stack overflow.
    result = subprocess.run(
        [sys.executable, "-c", RECURSION, str(limit)], capture_output=True, text=True, timeout=600
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n") == ["cached RecursionError", "axis RecursionError", ""]
