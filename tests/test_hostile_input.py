"""A slice of the hostile-input campaign (reliability/fuzz_campaign.py; the
full run is `make fuzz`), and the campaign's own crash reporting."""

import os
import pathlib
import random
import re
import subprocess
import sys

import pytest

from conftest import EMULATED

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


# Cases of each family's slice; fewer under emulation, where each costs ten
# times as much.
SLICE_CASES = 100 if EMULATED else 700


def slice_seed():
    """TOVREN_FUZZ_SEED replays a slice; otherwise each run covers new cases."""
    return int(os.environ.get("TOVREN_FUZZ_SEED", random.SystemRandom().randrange(2**32)))


@pytest.mark.parametrize("family", FAMILIES)
def test_slice_of_each_family(family):
    seed = slice_seed()
    result = run_campaign("--cases", str(SLICE_CASES), "--seed", str(seed), "--family", family)
    if result.returncode == 3:  # crashes of the interpreter alone, each reported with its replay
        pytest.xfail("\n".join(line for line in result.stdout.splitlines() if "the interpreter's" in line))
    assert result.returncode == 0, f"seed {seed}:\n{result.stdout}\n{result.stderr}"
    assert re.search(rf"fuzz: {SLICE_CASES} cases, 0 failed, 0 crashed, 0 crashed in the interpreter, "
                     rf"seed {seed}\b.*{family} {SLICE_CASES}",
                     result.stdout), result.stdout


def test_crash_is_counted_with_seed_and_case_and_the_run_goes_on():
    # Case 23 crashes its child, alone too; the cases after it run in a new one.
    result = run_campaign("--cases", "40", "--seed", "11", "--batch", "30", "--abort-at", "23")
    assert result.returncode == 2, result.stdout + result.stderr
    assert "CRASH (signal SIGABRT) in case 23, seed 11, family " in result.stdout
    assert f"{CAMPAIGN} --seed 11 --case 23\n" in result.stdout
    assert "fuzz: 40 cases, 0 failed, 1 crashed, 0 crashed in the interpreter, seed 11" in result.stdout


def test_crash_that_needs_earlier_cases_names_the_shortest_run():
    result = run_campaign("--cases", "40", "--seed", "11", "--abort-at", "23", "--abort-needs-history")
    assert result.returncode == 2, result.stdout + result.stderr
    assert "CRASH (signal SIGABRT) (not alone: after case 22) in case 23" in result.stdout
    assert f"{CAMPAIGN} --seed 11 --start 22 --cases 2\n" in result.stdout
    assert "fuzz: 40 cases, 0 failed, 1 crashed, 0 crashed in the interpreter, seed 11" in result.stdout


def test_hang_reports_seed_case_and_tracebacks():
    result = run_campaign("--cases", "40", "--seed", "11", "--hang-at", "5", "--case-timeout", "3")
    assert result.returncode == 2, result.stdout + result.stderr
    assert "HANG (no progress for 3.0 s, tracebacks above) in case 5, seed 11" in result.stdout
    assert f"{CAMPAIGN} --seed 11 --case 5\n" in result.stdout
    assert "in worker" in result.stderr  # the stuck worker's Python traceback
    assert "fuzz: 40 cases, 0 failed, 1 crashed, 0 crashed in the interpreter, seed 11" in result.stdout


def test_child_that_ends_early_is_not_a_pass():
    # The worker returns normally at case 7: the cases it never ran must not
    # count as passed, nor the run as clean.
    result = run_campaign("--cases", "40", "--seed", "11", "--exit-at", "7")
    assert result.returncode == 2, result.stdout + result.stderr
    assert "CRASH (exit status 0 after 7 of 40 cases) in case 7, seed 11" in result.stdout
    assert "fuzz: 40 cases, 0 failed, 1 crashed, 0 crashed in the interpreter, seed 11" in result.stdout


def test_crash_at_a_childs_exit_is_put_on_its_last_case():
    # Each child aborts at its exit, after its last case (29, then 39): the
    # crash is that case's, never the next one's (which the child never
    # began), and the case is not a pass.
    result = run_campaign("--cases", "40", "--seed", "11", "--batch", "30", "--abort-at-exit")
    assert result.returncode == 2, result.stdout + result.stderr
    found = re.findall(r"CRASH \(signal SIGABRT\) at the child's exit, after its last case (\d+), seed 11, "
                       r"family \w+: the module's \(.*: no crash\); replay with: .* --case (\d+)\n", result.stdout)
    assert found == [("29", "29"), ("39", "39")], result.stdout
    assert "fuzz: 40 cases, 0 failed, 2 crashed, 0 crashed in the interpreter, seed 11" in result.stdout


def test_crash_that_plain_python_stand_ins_cause_too_is_the_interpreters():
    # Case 23 aborts with the module's plain-Python stand-ins in its place as
    # well: counted apart from the module's crashes, with its replay, and
    # never as a pass.
    result = run_campaign("--cases", "40", "--seed", "11", "--interpreter-abort-at", "23")
    assert result.returncode == 3, result.stdout + result.stderr
    replay = re.escape(f"{sys.executable} {CAMPAIGN} --seed 11 --case 23 (add --pure-python")
    assert re.search(r"CRASH \(signal SIGABRT\) in case 23, seed 11, family \w+: the interpreter's, not the "
                     rf"module's .*; replay with: {replay}", result.stdout), result.stdout
    assert "fuzz: 40 cases, 0 failed, 0 crashed, 1 crashed in the interpreter, seed 11" in result.stdout


# A crash put into the module's runs only, with the stand-ins' replay made to
# crash as given (`--stand-in-crash SIGNAL@PLACE`): the interpreter's only
# when the replay dies by the same signal at the same place. The other signal
# is SIGKILL, which no handler sees: a sanitizer build would turn a raised
# SIGSEGV into a report of its own and an abort.
@pytest.mark.parametrize("module_crash, stand_in_crash, module_place, replay_place, verdict", [
    (["--abort-at", "23"], "SIGKILL@23", "in case 23", "CRASH (signal SIGKILL) in case 23", "module"),
    (["--abort-at", "23"], "SIGABRT@exit", "in case 23",
     "CRASH (signal SIGABRT) at the child's exit, after its last case 23", "module"),
    (["--abort-at-exit"], "SIGABRT@exit", "at the child's exit, after its last case 39",
     "CRASH (signal SIGABRT) at the child's exit, after its last case 39", "interpreter"),
])
def test_crash_is_the_interpreters_only_when_its_replay_dies_the_same_way(
        module_crash, stand_in_crash, module_place, replay_place, verdict):
    result = run_campaign("--cases", "40", "--seed", "11", *module_crash, "--stand-in-crash", stand_in_crash)
    output = result.stdout + result.stderr
    crash = re.escape(f"CRASH (signal SIGABRT) {module_place}, seed 11, family ") + r"\w+"
    replay = re.escape(f"; replay with: {sys.executable} {CAMPAIGN} --seed 11 --case {module_place.split()[-1]}")
    if verdict == "module":
        assert result.returncode == 2, output
        assert re.search(crash + re.escape(": the module's (with the module's descriptors replaced by plain "
                                           f"Python ones the same cases give: {replay_place})") + replay + "\n",
                         result.stdout), output
        assert "fuzz: 40 cases, 0 failed, 1 crashed, 0 crashed in the interpreter, seed 11" in result.stdout
    else:
        assert result.returncode == 3, output
        assert re.search(crash + re.escape(": the interpreter's, not the module's (the same cases crash the same "
                                           f"way with the module's descriptors replaced by plain Python ones: "
                                           f"{replay_place})") + replay, result.stdout), output
        assert "fuzz: 40 cases, 0 failed, 0 crashed, 1 crashed in the interpreter, seed 11" in result.stdout


# Runs cases with the module or with its plain-Python stand-ins
# (reliability/pure_python_properties.py) and prints, per case, its family,
# whether it passed, and the next draw of its generator.
CASES_WITH = """
import sys
sys.path.insert(0, sys.argv[1])
import fuzz_campaign
if sys.argv[2] == "pure":
    import pure_python_properties
    module = pure_python_properties.install()
else:
    import tovren._libs.properties as module
fuzz_campaign.define_subclasses(module)
generators = []
case_rng = fuzz_campaign.case_rng
fuzz_campaign.case_rng = lambda seed, number: generators.append(case_rng(seed, number)) or generators[-1]
sys.setrecursionlimit(2000)
for number in range(int(sys.argv[4])):
    family, failure = fuzz_campaign.run_case(module, int(sys.argv[3]), number, sorted(fuzz_campaign.FAMILIES))
    print(number, family, failure is None, generators[-1].random(), flush=True)
"""


def test_plain_python_stand_ins_take_the_modules_path():
    # A replay with the stand-ins tells the interpreter's crashes from the
    # module's only if each case does there what it did with the module: the
    # same outcome, and the same random draws (so the same hostile callbacks,
    # run as often). Owner shapes may part where a recursion ends: the
    # module's reads check the depth themselves.
    seed = slice_seed()
    outputs, statuses = {}, {}
    for mode in ("module", "pure"):
        result = subprocess.run(
            [sys.executable, "-c", CASES_WITH, str(CAMPAIGN.parent), mode, str(seed), "1500"],
            capture_output=True, text=True, timeout=600, env=dict(os.environ, PYTHONHASHSEED="0"),
        )
        outputs[mode] = [line.split() for line in result.stdout.splitlines()]
        statuses[mode] = result.returncode
        assert result.returncode <= 0, result.stderr
    for with_module, with_stand_ins in zip(outputs["module"], outputs["pure"]):
        if with_module[1] == "owner_shapes":
            with_module, with_stand_ins = with_module[:3], with_stand_ins[:3]
        assert with_module == with_stand_ins, f"seed {seed}"
    assert all(passed == "True" for _, _, passed, _ in outputs["module"]), f"seed {seed}"
    if statuses["module"] < 0 and statuses["pure"] == statuses["module"] \
            and len(outputs["module"]) == len(outputs["pure"]):
        # The same crash in the same place without the module: the
        # interpreter's (tests/test_known_interpreter_faults.py).
        pytest.xfail(f"seed {seed}: the interpreter crashed (signal {-statuses['module']}) after case "
                     f"{len(outputs['module']) - 1}, with the module and without it")
    assert statuses == {"module": 0, "pure": 0}, f"seed {seed}: {statuses}"
    assert len(outputs["module"]) == 1500


def test_one_case_replays_alone():
    result = run_campaign("--seed", "11", "--case", "23", "--family", "cached_property_reads")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "fuzz: 1 cases, 0 failed, 0 crashed, 0 crashed in the interpreter, seed 11" in result.stdout
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
