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
    "owner_shapes",
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
    assert re.search(rf"fuzz: 700 cases, 0 failed, 0 crashed, seed {seed}\b.*{family} 700",
                     result.stdout), result.stdout


def test_crash_is_counted_with_seed_and_case_and_the_run_goes_on():
    # Case 23 crashes its child, alone too; the cases after it run in a new one.
    result = run_campaign("--cases", "40", "--seed", "11", "--batch", "30", "--abort-at", "23")
    assert result.returncode == 2, result.stdout + result.stderr
    assert "CRASH (signal SIGABRT) in case 23, seed 11, family " in result.stdout
    assert f"{CAMPAIGN} --seed 11 --case 23\n" in result.stdout
    assert "fuzz: 40 cases, 0 failed, 1 crashed, seed 11" in result.stdout


def test_crash_that_needs_earlier_cases_names_the_shortest_run():
    result = run_campaign("--cases", "40", "--seed", "11", "--abort-at", "23", "--abort-needs-history")
    assert result.returncode == 2, result.stdout + result.stderr
    assert "CRASH (signal SIGABRT) (not alone: after case 22) in case 23" in result.stdout
    assert f"{CAMPAIGN} --seed 11 --start 22 --cases 2\n" in result.stdout
    assert "fuzz: 40 cases, 0 failed, 1 crashed, seed 11" in result.stdout


def test_hang_reports_seed_case_and_tracebacks():
    result = run_campaign("--cases", "40", "--seed", "11", "--hang-at", "5", "--case-timeout", "3")
    assert result.returncode == 2, result.stdout + result.stderr
    assert "HANG (no progress for 3.0 s, tracebacks above) in case 5, seed 11" in result.stdout
    assert f"{CAMPAIGN} --seed 11 --case 5\n" in result.stdout
    assert "in worker" in result.stderr  # the stuck worker's Python traceback
    assert "fuzz: 40 cases, 0 failed, 1 crashed, seed 11" in result.stdout


def test_child_that_ends_early_is_not_a_pass():
    # The worker returns normally at case 7: the cases it never ran must not
    # count as passed, nor the run as clean.
    result = run_campaign("--cases", "40", "--seed", "11", "--exit-at", "7")
    assert result.returncode == 2, result.stdout + result.stderr
    assert "CRASH (exit status 0 after 7 of 40 cases) in case 7, seed 11" in result.stdout
    assert "fuzz: 40 cases, 0 failed, 1 crashed, seed 11" in result.stdout


def test_one_case_replays_alone():
    result = run_campaign("--seed", "11", "--case", "23", "--family", "cached_property_reads")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "fuzz: 1 cases, 0 failed, 0 crashed, seed 11" in result.stdout
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


# Lookups that resolve back to the module's own descriptors with no Python
# frame in the loop: only the descriptors' own recursion check ends them.
FRAMELESS_RECURSION = """
import sys
import threading
from tovren._libs.properties import AxisProperty, CachedProperty, cache_readonly

def _cache(self):
    return {}

def _mgr(self):
    return None

class MgrIsAxis:                        # _mgr -> _mgr
    _mgr = AxisProperty(0)

class CacheIsCached:                    # _cache -> _cache
    _cache = cache_readonly(_cache)

class CacheIsCachedOther:               # other -> _cache -> _cache
    _cache = CachedProperty(_cache)

    @cache_readonly
    def other(self):
        return 1

class BothDescriptors:                  # _mgr -> _cache -> _mgr
    _cache = AxisProperty(0)
    _mgr = CachedProperty(_mgr)

class GetattrIsAxis:                    # x -> __getattr__ -> _mgr -> __getattr__
    __getattr__ = AxisProperty(0)

class Manager:
    axes = ["fine"]

class Fine:
    value = AxisProperty(0)
    _mgr = Manager()

    @cache_readonly
    def cached(self):
        return "fine"

SHAPES = [(MgrIsAxis, "_mgr"), (CacheIsCached, "_cache"), (CacheIsCachedOther, "other"),
          (BothDescriptors, "_mgr"), (BothDescriptors, "_cache"), (GetattrIsAxis, "x")]

def run():
    for owner_class, name in SHAPES * 2:
        try:
            getattr(owner_class(), name)
        except RecursionError as error:
            # The innermost entry is the read whose check fired.
            entry = error.__traceback__
            while entry.tb_next is not None:
                entry = entry.tb_next
            print(owner_class.__name__, name, type(error).__name__,
                  entry.tb_frame.f_code.co_name.split(".")[-2], entry.tb_lineno,
                  str(error).split(") ")[-1])
    # Usable afterwards: reads, and RecursionError from Python code as ever.
    def recurse():
        return recurse()
    try:
        recurse()
    except RecursionError:
        pass
    print(Fine().value, Fine().cached)

if sys.argv[1] == "thread":
    threading.stack_size(1 << 20)
    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
else:
    run()
"""


@pytest.mark.parametrize("where", ["main", "thread"])
def test_frameless_recursion_through_descriptors_ends_in_recursion_error(where):
    # Each shape segfaulted before the reads checked the C stack. A thread of
    # 1 MiB has limits of its own.
    result = subprocess.run([sys.executable, "-c", FRAMELESS_RECURSION, where],
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    cached = "CachedProperty 25 while reading a CachedProperty"
    axis = "AxisProperty 65 while reading an AxisProperty"
    expected = [
        f"MgrIsAxis _mgr RecursionError {axis}",
        f"CacheIsCached _cache RecursionError {cached}",
        f"CacheIsCachedOther other RecursionError {cached}",
        f"BothDescriptors _mgr RecursionError ({cached}|{axis})",
        f"BothDescriptors _cache RecursionError ({cached}|{axis})",
        f"GetattrIsAxis x RecursionError {axis}",
    ] * 2 + ["fine fine", ""]
    lines = result.stdout.split("\n")
    assert len(lines) == len(expected), result.stdout
    for line, pattern in zip(lines, expected):
        assert re.fullmatch(pattern, line), (line, pattern)
