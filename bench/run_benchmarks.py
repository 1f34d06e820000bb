"""Benchmarks of tovren._libs.properties side by side with its peers.

    python bench/run_benchmarks.py [--json PATH] [--cases KEY,...] [--repeat N]
    python bench/run_benchmarks.py --callgrind [--json PATH] [--callgrind-dir DIR]

Timing mode. Every case owns a few variants: the module's descriptor
("ours"), its peers (bench/benchpeers/_lib/peers.py) and "loop", the same
timeit loop with an empty body. Each variant is a timeit statement; cheap
statements are unrolled so that the loop costs little next to them. After a warm-up that also calibrates the loop
length, the variants of a case are sampled in turn, one sample each per round,
in an order that rotates from round to round, so that drift of the machine
hits all of them alike. Per round the empty loop is subtracted from every
variant (net time per operation) and the ratio ours/peer is taken; the
medians over the rounds make one run. The whole run is repeated (--runs);
the figures shown are the medians of the runs with their range, marked
noisy when the range is wider than 10 % of the median.

Callgrind mode. Each case runs in a child process under
`valgrind --tool=callgrind`. For every variant, after a warm-up, the child
measures one interval of N and one of 2N operations, each bracketed by client
requests (bench/callgrind_marks.c, compiled on the fly) that zero the counters
before and dump them after; the difference of the two totals divided by N is
the count per operation, with every fixed cost (the brackets, timeit's set-up)
cancelled, and the empty loop's count is subtracted as above. The dump files
(one per interval, kept with --callgrind-dir) can be read with
callgrind_annotate to profile one variant alone.

In "fresh" cases every operation reads a new owner. The owners are made in
timeit's set-up, which the empty loop makes too, so their making cancels.
Timing excludes their release (after the timed loop); callgrind includes it,
so the cache dicts that first reads create are also paid for being freed.

Targets are checked on the ratios and printed as PASS/MISS; in timing mode
PASS needs every run to meet the target, and runs that disagree print NOISY:
the instruction counts are the reference. This is a
measurement, not a test: the exit status does not depend on them.
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import pathlib
import pickle
import platform
import statistics
import subprocess
import sys
import tempfile
import time
import timeit

HERE = pathlib.Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

from benchpeers._lib import peers  # noqa: E402  (needs the path above)
from tovren._libs import properties  # noqa: E402

# Operations per loop iteration for the unrolled statements.
UNROLL = 20
LOOP = "loop"


@dataclasses.dataclass(frozen=True)
class Variant:
    key: str  # used in the output, the JSON file and on the child's command line
    label: str
    op: str  # one operation, written against the names bound by the set-up
    # Set-up of this variant alone, run after the case's. Variants that read
    # one owner each keep it in its natural state: an owner whose __dict__
    # was materialised (functools.cached_property writes to it) loses the
    # specialised attribute reads of the others.
    setup: str = ""
    # Returns None when the variant can run, else the reason it is left out.
    requires: object = None

    def missing(self):
        return self.requires() if self.requires else None


@dataclasses.dataclass(frozen=True)
class Target:
    peer: str
    limit: float  # ratio ours/peer that must not be exceeded
    strict: bool  # True: the ratio must stay below the limit
    text: str

    def met(self, ratio: float) -> bool:
        return ratio < self.limit if self.strict else ratio <= self.limit


@dataclasses.dataclass(frozen=True)
class Case:
    key: str
    title: str
    # Setup code run by timeit before each sample. A "fresh" case makes its
    # owners here: `{count}` is replaced by the number of operations, and the
    # statement visits each owner once (`for o in objs`).
    setup: str
    ours: Variant
    peers: tuple[Variant, ...]
    targets: tuple[Target, ...] = ()
    fresh: bool = False
    unroll: int = UNROLL
    # Returns None when the case can run, else the reason it is skipped.
    requires: object = None
    # Set-up of the empty loop, when the variants bring their own.
    loop_setup: str = ""

    @property
    def present_peers(self) -> tuple[Variant, ...]:
        return tuple(peer for peer in self.peers if peer.missing() is None)

    @property
    def variants(self) -> tuple[Variant, ...]:
        return (self.ours, *self.present_peers, Variant(LOOP, "empty loop", "pass", self.loop_setup))

    def statement(self, variant: Variant) -> str:
        if self.fresh:
            return f"for o in objs:\n    {variant.op}"
        if variant.key == LOOP:
            return "pass"
        return "; ".join([variant.op] * self.unroll)

    def timer(self, variant: Variant, size: int) -> tuple[timeit.Timer, int, int]:
        """(timer, number to pass to timeit, operations that number performs)."""
        setup = "\n".join(part for part in (self.setup, variant.setup) if part)
        if self.fresh:
            setup = setup.replace("{count}", str(size))
            return timeit.Timer(self.statement(variant), setup, globals=NAMESPACE), 1, size
        timer = timeit.Timer(self.statement(variant), setup, globals=NAMESPACE)
        return timer, size, size * self.unroll


# ---- feature checks -------------------------------------------------------------


def axis_missing():
    if not hasattr(properties, "AxisProperty"):
        return "tovren._libs.properties has no AxisProperty yet"
    return None


def propcache_missing():
    compiled, where = peers.propcache_is_compiled()
    if not compiled:
        return f"compiled propcache is not available: {where}"
    return None


def round_trip_missing(make, fields):
    def check():
        try:
            original = make()
            copy = pickle.loads(pickle.dumps(original))
        except Exception as error:  # any failure means: not implemented yet
            return f"pickling does not work yet ({type(error).__name__}: {error})"
        if type(copy) is not type(original) or any(
            getattr(copy, name) != getattr(original, name) for name in fields
        ):
            return "pickling does not restore the fields yet"
        return None

    return check


def all_of(*checks):
    def check():
        for one in checks:
            reason = one()
            if reason is not None:
                return reason
        return None

    return check


def make_cached_ours():
    return properties.CachedProperty(peers.answer)


def make_axis_ours():
    return properties.AxisProperty(1, "columns")


NAMESPACE = {
    **{name: getattr(peers, name) for name in dir(peers) if not name.startswith("__")},
    "dumps": pickle.dumps,
    "loads": pickle.loads,
    "make_cached_ours": make_cached_ours,
    "make_axis_ours": make_axis_ours,
}

# ---- the cases ------------------------------------------------------------------

CASES = (
    Case(
        key="cache_hit",
        title="cache_readonly: read that hits the cache",
        setup="",
        loop_setup="o = CacheOwner()",
        ours=Variant("ours", "cache_readonly", "o.ours", "o = CacheOwner(); o.ours"),
        peers=(
            Variant("plain", "plain instance attribute", "o.plain", "o = CacheOwner()"),
            Variant(
                "functools",
                "functools.cached_property (after first read)",
                "o.functools_cached",
                "o = CacheOwner(); o.functools_cached",
            ),
            Variant(
                "propcache",
                "propcache under_cached_property (compiled)",
                "o.propcache",
                "o = CacheOwner.with_empty_cache(); o.propcache",
                requires=propcache_missing,
            ),
            Variant(
                "py_descriptor",
                "Python data-descriptor class, same _cache protocol",
                "o.py_descriptor",
                "o = CacheOwner(); o.py_descriptor",
            ),
            Variant(
                "property",
                "property with the cache in the getter",
                "o.via_property",
                "o = CacheOwner(); o.via_property",
            ),
        ),
        targets=(
            Target("propcache", 1.0, True, "faster than under_cached_property"),
            Target("plain", 1.5, False, "at most 1.5x the plain attribute read"),
            Target("py_descriptor", 0.25, False, "at least 4x faster than the Python data descriptor"),
        ),
    ),
    Case(
        key="first_read",
        title="cache_readonly: first read, _cache created (fresh owner per op)",
        setup="objs = [CacheOwner() for _ in range({count})]",
        ours=Variant("ours", "cache_readonly", "o.ours"),
        peers=(
            Variant("py_descriptor", "Python data-descriptor class, same _cache protocol", "o.py_descriptor"),
            Variant("property", "property with the cache in the getter", "o.via_property"),
            Variant("functools", "functools.cached_property (value into __dict__)", "o.functools_cached"),
        ),
        targets=(Target("py_descriptor", 0.5, False, "at least 2x faster than the Python data descriptor"),),
        fresh=True,
    ),
    Case(
        key="first_read_cache_present",
        title="cache_readonly: first read into an existing empty _cache (fresh owner per op)",
        setup="objs = [CacheOwner.with_empty_cache() for _ in range({count})]",
        ours=Variant("ours", "cache_readonly", "o.ours"),
        peers=(
            Variant(
                "propcache",
                "propcache under_cached_property (compiled)",
                "o.propcache",
                requires=propcache_missing,
            ),
            Variant("py_descriptor", "Python data-descriptor class, same _cache protocol", "o.py_descriptor"),
            Variant("property", "property with the cache in the getter", "o.via_property"),
        ),
        fresh=True,
    ),
    Case(
        key="axis_read",
        title="AxisProperty: read",
        setup="o = AxisOwner()",
        ours=Variant("ours", "AxisProperty", "o.ours"),
        peers=(
            Variant("inline", "inline o._mgr.axes[1]", "o._mgr.axes[1]"),
            Variant("property", "property(lambda self: self._mgr.axes[1])", "o.via_property"),
            Variant("py_descriptor", "Python descriptor class with __get__/__set__", "o.py_descriptor"),
        ),
        targets=(
            Target("property", 1.0, True, "faster than property(lambda ...)"),
            Target("inline", 1.3, False, "at most 1.3x inline o._mgr.axes[i]"),
        ),
        requires=axis_missing,
    ),
    Case(
        key="axis_write",
        title="AxisProperty: assignment (calls _set_axis)",
        setup="o = AxisOwner(); v = 'renamed'",
        ours=Variant("ours", "AxisProperty", "o.ours = v"),
        peers=(
            Variant("inline", "inline o._set_axis(1, v)", "o._set_axis(1, v)"),
            Variant("property", "property with a setter calling _set_axis", "o.via_property = v"),
            Variant("py_descriptor", "Python descriptor class with __get__/__set__", "o.py_descriptor = v"),
        ),
        targets=(Target("py_descriptor", 1 / 1.5, False, "at least 1.5x faster than the Python descriptor"),),
        requires=axis_missing,
    ),
    Case(
        key="pickle_cached",
        title="CachedProperty: pickle.dumps/loads round trip (default protocol)",
        setup="d_ours = make_cached_ours(); d_py = CacheDescriptor(answer)",
        ours=Variant("ours", "CachedProperty", "loads(dumps(d_ours))"),
        peers=(Variant("py_descriptor", "Python data-descriptor class", "loads(dumps(d_py))"),),
        targets=(Target("py_descriptor", 1.0, True, "faster than the Python descriptor class"),),
        unroll=1,
        requires=round_trip_missing(make_cached_ours, ("fget", "name", "__doc__")),
    ),
    Case(
        key="pickle_axis",
        title="AxisProperty: pickle.dumps/loads round trip (default protocol)",
        setup="d_ours = make_axis_ours(); d_py = AxisDescriptor(1, 'columns')",
        ours=Variant("ours", "AxisProperty", "loads(dumps(d_ours))"),
        peers=(Variant("py_descriptor", "Python descriptor class", "loads(dumps(d_py))"),),
        targets=(Target("py_descriptor", 1.0, True, "faster than the Python descriptor class"),),
        unroll=1,
        requires=all_of(axis_missing, round_trip_missing(make_axis_ours, ("axis", "__doc__"))),
    ),
)
CASES_BY_KEY = {case.key: case for case in CASES}


# ---- timing -----------------------------------------------------------------------


def seconds_per_op(case: Case, variant: Variant, size: int) -> float:
    timer, number, ops = case.timer(variant, size)
    return timer.timeit(number) / ops


def calibrate(case: Case, sample_seconds: float) -> int:
    """Loop length (or owner count) that makes one sample of the fastest
    variant last about `sample_seconds`; doubles as the warm-up."""
    size = 64
    while True:
        fastest = min(
            seconds_per_op(case, v, size) * case.timer(v, size)[2] for v in case.variants if v.key != LOOP
        )
        if fastest >= sample_seconds / 4 or size >= 1 << 24:
            break
        size *= 2
    return max(16, int(size * sample_seconds / max(fastest, 1e-9)))


def median_ratio(numerators, denominators):
    ratios = [n / d for n, d in zip(numerators, denominators) if d > 0]
    return statistics.median(ratios) if ratios else float("nan")


# A figure whose runs spread by more than this fraction of their median is
# marked noisy: on a shared machine one run is not a measurement.
NOISY_SPREAD = 0.10


def time_one_run(case: Case, size: int, rounds: int) -> dict:
    variants = case.variants
    samples = {v.key: [] for v in variants}
    for round_index in range(rounds):
        shift = round_index % len(variants)
        for variant in variants[shift:] + variants[:shift]:
            samples[variant.key].append(seconds_per_op(case, variant, size))
    loop = samples[LOOP]
    net = {key: [s - l for s, l in zip(values, loop)] for key, values in samples.items() if key != LOOP}
    return {
        "loop_ns": statistics.median(loop) * 1e9,
        "ns": {key: statistics.median(values) * 1e9 for key, values in net.items()},
        "ratios": {p.key: median_ratio(net[case.ours.key], net[p.key]) for p in case.present_peers},
    }


def spread(values: list[float]) -> dict:
    """Median of the runs' figures, their range, and whether that range is
    wide enough to call the figure noisy."""
    finite = [v for v in values if v == v]
    if not finite:
        return {"median": float("nan"), "min": float("nan"), "max": float("nan"), "noisy": True}
    middle = statistics.median(finite)
    low, high = min(finite), max(finite)
    noisy = len(finite) < len(values) or middle <= 0 or (high - low) > NOISY_SPREAD * abs(middle)
    return {"median": middle, "min": low, "max": high, "noisy": noisy}


def time_case(case: Case, rounds: int, sample_seconds: float, runs: int) -> dict:
    """`runs` independent runs of `rounds` interleaved rounds each; every
    figure is the median of the runs' medians, with the runs' range."""
    size = calibrate(case, sample_seconds)
    each = [time_one_run(case, size, rounds) for _ in range(runs)]
    keys = each[0]["ns"].keys()
    ns = {key: spread([run["ns"][key] for run in each]) for key in keys}
    ratios = {p.key: spread([run["ratios"][p.key] for run in each]) for p in case.present_peers}
    return {
        "size": size,
        "rounds": rounds,
        "runs": runs,
        "loop_ns": statistics.median(run["loop_ns"] for run in each),
        "ns": {key: figure["median"] for key, figure in ns.items()},
        "ns_spread": ns,
        "ratios": {key: figure["median"] for key, figure in ratios.items()},
        "ratio_runs": {p.key: [run["ratios"][p.key] for run in each] for p in case.present_peers},
        "ratio_spread": ratios,
    }


# ---- callgrind ------------------------------------------------------------------

CALLGRIND_BASE = 10000  # operations of the smaller run (doubled for the larger)
CHILD_WARMUP = 64
MARKS_SOURCE = HERE / "callgrind_marks.c"


def build_marks(out_dir: pathlib.Path) -> pathlib.Path:
    """Compiles the client-request helper; it needs a C compiler and
    valgrind's headers, both present wherever valgrind is installed for
    development."""
    library = out_dir / "callgrind_marks.so"
    command = [os.environ.get("CC", "cc"), "-O2", "-shared", "-fPIC", "-o", str(library), str(MARKS_SOURCE)]
    try:
        completed = subprocess.run(command, capture_output=True, text=True)
    except OSError as error:
        raise SystemExit(f"cannot compile {MARKS_SOURCE.name}: {error}") from None
    if completed.returncode != 0:
        raise SystemExit(f"cannot compile {MARKS_SOURCE.name}:\n{completed.stderr}")
    return library


def run_child(case_key: str, library: str, base: int) -> None:
    """Body of the child that runs under callgrind: for every variant of the
    case, after a warm-up, one interval of `base` and one of `2 * base`
    operations, each zeroed before and dumped after through client requests."""
    import ctypes

    marks = ctypes.CDLL(library)
    marks.tovren_bench_dump.argtypes = [ctypes.c_char_p]
    if not marks.tovren_bench_on_valgrind():
        raise SystemExit("--child only runs under valgrind --tool=callgrind")
    case = CASES_BY_KEY[case_key]
    for variant in case.variants:
        seconds_per_op(case, variant, CHILD_WARMUP)
        for size in (base, 2 * base):
            timer, number, _ = case.timer(variant, size)
            marks.tovren_bench_zero()
            timer.timeit(number)
            marks.tovren_bench_dump(f"{variant.key} {size}".encode())


TRIGGER = "desc: Trigger: Client Request: "


def read_dumps(prefix: pathlib.Path) -> dict[str, int]:
    """Instruction totals of the child's dumps, by the label of each dump."""
    totals = {}
    for path in prefix.parent.glob(prefix.name + ".*"):
        label = total = None
        for line in path.read_text().splitlines():
            if line.startswith(TRIGGER):
                label = line.removeprefix(TRIGGER).strip()
            elif line.startswith("summary:"):  # the event counter itself
                total = int(line.split()[1])
        if label is not None and total is not None:
            totals[label] = total
    return totals


def callgrind_case(case: Case, out_dir: pathlib.Path, library: pathlib.Path) -> dict:
    # `size` counts owners for fresh cases and loop iterations otherwise.
    base = CALLGRIND_BASE if case.fresh else max(1, CALLGRIND_BASE // case.unroll)
    prefix = out_dir / f"callgrind.{case.key}.out"
    for stale in out_dir.glob(prefix.name + "*"):
        stale.unlink()
    command = [
        "valgrind",
        "--tool=callgrind",
        f"--callgrind-out-file={prefix}",
        sys.executable,
        str(pathlib.Path(__file__).resolve()),
        "--child",
        case.key,
        str(library),
        str(base),
    ]
    # Constant hashing keeps dict layouts (and so the counts) reproducible.
    env = dict(os.environ, PYTHONHASHSEED="0")
    completed = subprocess.run(command, env=env, capture_output=True, text=True)
    if completed.returncode != 0:
        raise RuntimeError(f"{' '.join(command)} failed:\n{completed.stderr[-3000:]}")
    totals = read_dumps(prefix)
    per_op = {}
    for variant in case.variants:
        small, large = totals[f"{variant.key} {base}"], totals[f"{variant.key} {2 * base}"]
        per_op[variant.key] = (large - small) / case.timer(variant, base)[2]
    loop = per_op.pop(LOOP)
    net = {key: value - loop for key, value in per_op.items()}
    return {
        "operations": case.timer(case.ours, base)[2],
        "loop_instructions": loop,
        "instructions": net,
        "ratios": {
            p.key: net[case.ours.key] / net[p.key] if net[p.key] > 0 else float("nan") for p in case.present_peers
        },
    }


# ---- reporting --------------------------------------------------------------------


def judge(case: Case, ratios: dict, ratio_runs: dict | None = None) -> list[dict]:
    """PASS/MISS per target; SKIP when its peer could not run. A ratio that
    could not be formed (a net time of zero or less) is a MISS. With the
    ratios of several timing runs, PASS needs every run to meet the target
    and MISS every run to miss it; runs that disagree give NOISY."""
    verdicts = []
    for target in case.targets:
        ratio = ratios.get(target.peer)
        runs = (ratio_runs or {}).get(target.peer) or [ratio]
        met = [r == r and target.met(r) for r in runs]
        if ratio is None:
            verdict = "SKIP"
        elif all(met):
            verdict = "PASS"
        elif not any(met):
            verdict = "MISS"
        else:
            verdict = "NOISY"
        verdicts.append(
            {"target": target.text, "peer": target.peer, "ratio": ratio, "limit": target.limit, "result": verdict}
        )
    return verdicts


def with_range(figure: dict, digits: int) -> str:
    text = f"{figure['median']:.{digits}f} ({figure['min']:.{digits}f}-{figure['max']:.{digits}f})"
    return text + (" noisy" if figure["noisy"] else "")


def print_case(case: Case, figures: dict, unit: str, key: str) -> None:
    print(f"\n{case.title}")
    if "ns_spread" in figures:
        # Median of the runs, and the runs' range.
        print(f"  {'variant':<60} {unit + ' (range)':>26} {'ours/peer (range)':>24}")
        for variant in (case.ours, *case.present_peers):
            value = with_range(figures["ns_spread"][variant.key], 1)
            ratio = "" if variant is case.ours else with_range(figures["ratio_spread"][variant.key], 2)
            print(f"  {variant.label:<60} {value:>26} {ratio:>24}")
    else:
        print(f"  {'variant':<60} {unit:>12} {'ours/peer':>10}")
        for variant in (case.ours, *case.present_peers):
            value = figures[key][variant.key]
            ratio = "" if variant is case.ours else f"{figures['ratios'][variant.key]:10.2f}"
            print(f"  {variant.label:<60} {value:12.1f} {ratio:>10}")
    for peer, reason in figures["left_out"].items():
        print(f"  {peer}: left out ({reason})")
    for verdict in figures["targets"]:
        if verdict["result"] == "SKIP":
            print(f"  [SKIP] {verdict['target']}: peer {verdict['peer']} left out")
        else:
            print(f"  [{verdict['result']}] {verdict['target']}: "
                  f"ratio {verdict['ratio']:.2f} (limit {verdict['limit']:.2f})")


def without_nan(value):
    """The report with every NaN (a ratio that could not be formed) as null,
    which strict JSON readers accept."""
    if isinstance(value, float) and value != value:
        return None
    if isinstance(value, dict):
        return {key: without_nan(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [without_nan(item) for item in value]
    return value


def environment() -> dict:
    compiled, where = peers.propcache_is_compiled()
    return {
        "python": sys.version,
        "executable": sys.executable,
        "platform": platform.platform(),
        "machine": platform.machine(),
        "module": properties.__file__,
        "propcache": where,
        "propcache_compiled": compiled,
        "time": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
    }


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--json", type=pathlib.Path, help="write the figures to this file")
    parser.add_argument("--cases", help="comma-separated case keys (default: all): " + ", ".join(CASES_BY_KEY))
    parser.add_argument("--repeat", type=int, default=21, help="sampling rounds per run (timing mode)")
    parser.add_argument("--runs", type=int, default=5,
                        help="independent runs per case; figures are their median and range (timing mode)")
    parser.add_argument("--sample-ms", type=float, default=10.0, help="length of one sample (timing mode)")
    parser.add_argument("--callgrind", action="store_true", help="count instructions under callgrind instead")
    parser.add_argument("--callgrind-dir", type=pathlib.Path, help="keep the callgrind output files here")
    parser.add_argument("--child", nargs=3, metavar=("CASE", "LIBRARY", "SIZE"), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    if args.child:
        case_key, library, size = args.child
        run_child(case_key, library, int(size))
        return 0

    if args.cases:
        unknown = [key for key in args.cases.split(",") if key not in CASES_BY_KEY]
        if unknown:
            parser.error(f"unknown case(s): {', '.join(unknown)}")
        cases = [CASES_BY_KEY[key] for key in args.cases.split(",")]
    else:
        cases = list(CASES)
    if args.repeat < 1 or args.runs < 1 or args.sample_ms <= 0:
        parser.error("--repeat, --runs and --sample-ms must be positive")

    env = environment()
    mode = "callgrind" if args.callgrind else "time"
    print(f"tovren._libs.properties benchmarks ({mode}); Python {platform.python_version()} {env['platform']}")
    print(f"propcache: {env['propcache']}")
    if mode == "time":
        print(f"figures: median of {args.runs} runs (range in brackets, 'noisy' beyond "
              f"{NOISY_SPREAD:.0%} of the median) of the median net ns/op over {args.repeat} "
              "interleaved rounds (empty loop subtracted); ratio = median of per-round ours/peer")
    else:
        print(f"figures: instructions/op from the difference of {CALLGRIND_BASE}-op and "
              f"{2 * CALLGRIND_BASE}-op runs, empty loop subtracted")

    report = {"mode": mode, "environment": env, "cases": {}}
    temporary = None
    out_dir = args.callgrind_dir
    if args.callgrind and out_dir is None:
        temporary = tempfile.TemporaryDirectory(prefix="tovren-callgrind-")
        out_dir = pathlib.Path(temporary.name)
    library = None
    if args.callgrind:
        out_dir.mkdir(parents=True, exist_ok=True)
        library = build_marks(out_dir)

    try:
        for case in cases:
            reason = case.requires() if case.requires else None
            if reason is not None:
                print(f"\n{case.title}\n  SKIPPED: {reason}")
                report["cases"][case.key] = {"title": case.title, "skipped": reason}
                continue
            if args.callgrind:
                print(f"\n{case.title} (running under callgrind)", flush=True)
                figures = callgrind_case(case, out_dir, library)
                key, unit = "instructions", "instr/op"
            else:
                figures = time_case(case, args.repeat, args.sample_ms / 1000, args.runs)
                key, unit = "ns", "ns/op"
            figures["targets"] = judge(case, figures["ratios"], figures.get("ratio_runs"))
            figures["left_out"] = {p.key: p.missing() for p in case.peers if p.missing() is not None}
            figures["title"] = case.title
            figures["labels"] = {v.key: v.label for v in (case.ours, *case.present_peers)}
            report["cases"][case.key] = figures
            print_case(case, figures, unit, key)
    finally:
        if temporary is not None:
            temporary.cleanup()

    verdicts = [v for c in report["cases"].values() for v in c.get("targets", ())]
    skipped = [k for k, c in report["cases"].items() if "skipped" in c]
    counts = ", ".join(f"{sum(v['result'] == r for v in verdicts)} {r}" for r in ("PASS", "MISS", "NOISY", "SKIP"))
    print(f"\ntargets: {counts}; cases skipped: {len(skipped)}")
    if args.json:
        import json

        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps(without_nan(report), indent=2, allow_nan=False) + "\n")
        print(f"figures written to {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
